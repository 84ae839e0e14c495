// camfx as a desktop application uses it: recordings named by date that never replace one
// another, full screen and back, snapshots, and Q.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "picture_match.h"
#include "text_count.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The capture of `window` once it has `size`, or an empty picture after 10 s.
cv::Mat captureAtSize(X11Driver& x, Window window, cv::Size size) {
    for (int i = 0; i < 200; ++i) {
        cv::Mat shown = x.capture(window);
        if (shown.size() == size)
            return shown;
        std::this_thread::sleep_for(50ms);
    }
    return cv::Mat();
}

// How closely `shown` is the unprocessed pattern scaled to its size: the best PSNR over the
// pattern's frames.
double scaledPatternPsnr(const cv::Mat& shown) {
    double best = 0.0;
    for (uint64_t n = 0; n < 256; ++n) {
        cv::Mat scaled;
        cv::resize(processedPattern(n, 0), scaled, shown.size(), 0, 0, cv::INTER_LINEAR);
        best = std::max(best, cv::PSNR(scaled, shown));
    }
    return best;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Desktop : public ViewerTest {};

TEST_F(Desktop, DatedNamesGiveEachRunANewFileInTheVideosFolder) {
    const std::string videos = dir.path() + "/home/Videos";
    environment["HOME"] = dir.path() + "/home";
    environment["XDG_VIDEOS_DIR"] = "";
    environment["XDG_CONFIG_HOME"] = dir.path() + "/config";
    const std::vector<std::string> arguments = {"--test-pattern", "--output",
                                                "$XDG_VIDEOS_DIR/clip %Y.mkv"};
    char year[8];
    const std::time_t now = std::time(nullptr);
    std::strftime(year, sizeof year, "%Y", std::localtime(&now));

    // A run that never records leaves nothing, not even the folder.
    start(arguments, CAMFX_BINARY);
    ASSERT_EQ(close(), 0) << app->standardError();
    EXPECT_FALSE(fs::exists(videos));

    for (const std::string& expected :
         {std::string("clip ") + year + ".mkv", std::string("clip ") + year + "-2.mkv"}) {
        start(arguments, CAMFX_BINARY);
        x.tap(XK_space);
        std::this_thread::sleep_for(1500ms);
        ASSERT_EQ(close(), 0) << app->standardError();
        const std::string out = app->standardOutput();
        EXPECT_EQ(countOf(out, "Recording into \"" + videos + "/" + expected + "\""), 1) << out;
        EXPECT_GT(fs::file_size(videos + "/" + expected), 1000u);
    }
    EXPECT_EQ(filesIn(videos).size(), 2u);
}

TEST_F(Desktop, F11FillsTheScreenWithThePictureAndGivesTheWindowBack) {
    start({"--fps=30", "--effects=0"});
    EXPECT_TRUE(matchesPattern(captureAtSize(x, window, {1280, 720}), 0));

    for (const unsigned long leave : {XK_F11, XK_Escape}) {
        x.tap(XK_F11);
        const cv::Mat full = captureAtSize(x, window, {1920, 1080});
        ASSERT_FALSE(full.empty()) << "the window did not fill the 1920x1080 screen";
        EXPECT_GE(scaledPatternPsnr(full), 30.0);

        x.focus(window);
        x.tap(leave);
        // The window's exact picture again, pixel for pixel.
        const cv::Mat windowed = captureAtSize(x, window, {1280, 720});
        ASSERT_FALSE(windowed.empty()) << "no 1280x720 window after " << leave;
        EXPECT_TRUE(matchesPattern(windowed, 0));
    }
    EXPECT_EQ(close(), 0);
}

TEST_F(Desktop, OnAScreenOfAnotherShapeTheBarsAreBlack) {
    int number = 150;
    while (fs::exists("/tmp/.X" + std::to_string(number) + "-lock"))
        ++number;
    const std::string display = ":" + std::to_string(number);
    ChildProcess server("/usr/bin/Xvfb",
                        {display, "-screen", "0", "1920x1200x24", "-nolisten", "tcp"}, dir.path());
    for (int i = 0; i < 100 && !fs::exists("/tmp/.X11-unix/X" + std::to_string(number)); ++i)
        std::this_thread::sleep_for(50ms);
    X11Driver tall(display.c_str());
    ASSERT_TRUE(tall.connected());
    environment["DISPLAY"] = display;
    ChildProcess viewer(CAMFX_TESTAPP, {"--fps=30", "--effects=0", "--fullscreen"}, dir.path(),
                        environment);
    const Window shown = tall.waitForWindow("Camera", 15s);
    ASSERT_NE(shown, 0u) << viewer.standardError();
    std::this_thread::sleep_for(1s);

    const cv::Mat full = captureAtSize(tall, shown, {1920, 1200});
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(cv::countNonZero(full.rowRange(0, 60).reshape(1)), 0);
    EXPECT_EQ(cv::countNonZero(full.rowRange(1140, 1200).reshape(1)), 0);
    EXPECT_GE(scaledPatternPsnr(full.rowRange(60, 1140)), 30.0);
    tall.requestClose(shown);
    EXPECT_EQ(viewer.waitForExit(20s), 0);
}

TEST_F(Desktop, SSavesTheShownPictureAndQCloses) {
    start({"--fps=30", "--effects=7"});
    // Two presses within a frame or so, as a slow machine sees them: two pictures still.
    x.tap(XK_s, 5ms);
    x.tap(XK_s, 5ms);
    for (int i = 0; i < 100 && countOf(app->standardOutput(), "Snapshot saved") < 2; ++i)
        std::this_thread::sleep_for(50ms);

    x.tap(XK_q);
    ASSERT_EQ(app->waitForExit(20s), 0) << "Q did not close the viewer";
    std::vector<std::string> pictures;
    for (const std::string& name : filesIn(dir.path()))
        if (fs::path(name).extension() == ".png")
            pictures.push_back(name);
    ASSERT_EQ(pictures.size(), 2u) << app->standardOutput();
    const std::string out = app->standardOutput();
    for (const std::string& name : pictures) {
        EXPECT_EQ(countOf(out, "Snapshot saved: \"" + dir.path() + "/" + name + "\""), 1) << out;
        const cv::Mat picture = cv::imread(dir.path() + "/" + name, cv::IMREAD_COLOR);
        ASSERT_EQ(picture.size(), cv::Size(1280, 720)) << name;
        EXPECT_TRUE(matchesPattern(picture, 7)) << name;
    }
}

}  // namespace
