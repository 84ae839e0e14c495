// Recording end to end: keys switch recording on and off, the window closes, and FFmpeg's
// decoder must read "camera.hevc" as one stream of the frames that were handed to the encoder.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <regex>

#include "frame.h"
#include "hevc_check.h"
#include "host_kernels.h"
#include "picture_match.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

int reported(const std::string& err, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(err, match, std::regex(name + "=(-?\\d+)")))
        return -1;
    return std::stoi(match[1]);
}

// What the encoder was given for a frame: the processed pattern converted to NV12. Quality
// is measured there, since 4:2:0 alone costs saturated, swirled edges 10 dB or more.
cv::Mat expectedPicture(const LoggedFrame& frame, uint8_t mask) {
    cv::Mat picture = processedPattern(frame.n, mask & 0x07);
    if (mask & 0x08) {
        // The swirl's phase is ten times the viewer's clock at that frame.
        cv::Mat swirled(picture.size(), picture.type());
        camfx::hostSpiral(picture.data, swirled.data, FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH,
                          FRAME_HEIGHT, 640.0f, 360.0f, static_cast<float>(frame.time * 10.0));
        picture = swirled;
    }
    cv::Mat nv12(FRAME_HEIGHT * 3 / 2, FRAME_WIDTH, CV_8UC1);
    camfx::hostRGB2NV12(picture.data, nv12.data, FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH,
                        FRAME_HEIGHT);
    return nv12;
}

struct Matched {
    uint64_t n;
    double psnr;
};

// For each decoded frame in order, the camera frame it shows best among the next few that
// were read around recording time, each later than the one before.
std::vector<Matched> matchRecording(const std::vector<cv::Mat>& decoded,
                                    const std::vector<LoggedFrame>& log, uint8_t mask) {
    std::vector<size_t> candidates;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].recording || (i + 1 < log.size() && log[i + 1].recording) ||
            (i > 0 && log[i - 1].recording))
            candidates.push_back(i);
    constexpr size_t kWindow = 10;
    std::vector<Matched> matched;
    size_t next = 0;
    for (const cv::Mat& frame : decoded) {
        Matched best{0, -1.0};
        size_t bestPosition = next;
        for (size_t k = next; k < candidates.size() && k < next + kWindow; ++k) {
            const LoggedFrame& logged = log[candidates[k]];
            const double psnr = cv::PSNR(frame, expectedPicture(logged, mask));
            if (psnr > best.psnr)
                best = {logged.n, psnr}, bestPosition = k;
        }
        matched.push_back(best);
        next = bestPosition + 1;
    }
    return matched;
}

class Recording : public ViewerTest {
  protected:
    std::string file() const { return dir.path() + "/camera.hevc"; }
    std::string log() const { return dir.path() + "/frames.log"; }

    // Checks the stream against what the viewer reports and the frames it read.
    void checkRecording(uint8_t mask) {
        const int encoded = reported(app->standardError(), "encoded");
        // How many depends on the machine (a sanitizer build encodes a few a second).
        ASSERT_GT(encoded, 0) << app->standardError();
        const StreamInfo info = probe(file());
        EXPECT_EQ(info.codec, "hevc");
        EXPECT_EQ(info.width, FRAME_WIDTH);
        EXPECT_EQ(info.height, FRAME_HEIGHT);
        EXPECT_EQ(info.frameRate, "30/1");
        EXPECT_EQ(info.frames, encoded) << "every frame handed to the encoder, and no other";

        const std::vector<cv::Mat> decoded = decodeFrames(file(), FRAME_WIDTH, FRAME_HEIGHT);
        ASSERT_EQ(static_cast<int>(decoded.size()), encoded);
        const std::vector<Matched> matched = matchRecording(decoded, readFrameLog(log()), mask);
        for (size_t i = 0; i < matched.size(); ++i) {
            EXPECT_GE(matched[i].psnr, 30.0) << "decoded frame " << i;
            if (i > 0)
                EXPECT_GT(matched[i].n, matched[i - 1].n) << "decoded frame " << i;
        }
    }
};

TEST_F(Recording, ARunThatNeverRecordsLeavesAnEmptyFile) {
    { std::ofstream(file()) << "an older recording"; }
    start();
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(close(), 0);
    EXPECT_EQ(std::filesystem::file_size(file()), 0u);
}

TEST_F(Recording, RecordsTheShownFramesInOrderAcrossAPause) {
    start({"--fps=30", "--frame-log=" + log()});
    x.tap(XK_1), x.tap(XK_2), x.tap(XK_3), x.tap(XK_4);
    x.tap(XK_space);
    std::this_thread::sleep_for(3s);
    x.tap(XK_space);
    std::this_thread::sleep_for(1s);
    x.tap(XK_space);
    std::this_thread::sleep_for(2s);
    // Closed while recording: the pictures the encoder still holds are written too.
    ASSERT_EQ(close(), 0) << app->standardError();
    checkRecording(0x00);
}

TEST_F(Recording, RecordsThePictureWithAllFourEffects) {
    start({"--fps=30", "--frame-log=" + log()});
    x.tap(XK_space);
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(close(), 0) << app->standardError();
    checkRecording(0x0F);
}

// All three threads at work without keys, which a slow (race-checking) build could miss:
// recording from the first frame until the window closes.
TEST_F(Recording, RecordsFromTheFirstFrameUntilTheWindowCloses) {
    start({"--fps=30", "--record", "--seconds=4"});
    ASSERT_EQ(app->waitForExit(60s), 0) << app->standardError();
    const int encoded = reported(app->standardError(), "encoded");
    EXPECT_GT(encoded, 0) << app->standardError();
    EXPECT_EQ(probe(file()).frames, encoded);
    // The close ends the span: one line with what the file received.
    const std::string out = app->standardOutput();
    std::smatch line;
    ASSERT_TRUE(std::regex_search(
        out, line,
        std::regex(R"(\[INFO \]\[[\d:]+\] Recorded \d+\.\d s: (\d+) frames, (\d+) dropped, )"
                   R"((\d+\.\d) MB to camera\.hevc\n)")))
        << out;
    EXPECT_EQ(std::stoi(line[1]), encoded);
    EXPECT_EQ(std::stoi(line[1]) + std::stoi(line[2]),
              reported(app->standardError(), "frames delivered"));
    EXPECT_NEAR(std::stod(line[3]), std::filesystem::file_size(file()) / 1e6, 0.051);
}

class UnwritableRecording : public ViewerTest {
  protected:
    // Records for a second and closes; the viewer must keep running and end normally.
    void recordBriefly() {
        start();
        x.tap(XK_space);
        std::this_thread::sleep_for(1s);
        EXPECT_TRUE(app->running());
        ASSERT_EQ(close(), 0) << app->standardError();
    }
    void expectOneErrorLine(const std::string& reason) {
        const std::string out = app->standardOutput();
        EXPECT_TRUE(std::regex_search(
            out, std::regex(R"(\[ERROR\]\[\d\d:\d\d:\d\d\] Cannot \w+ "camera\.hevc": )" + reason)))
            << out;
        size_t count = 0;
        for (size_t at = out.find("[ERROR]"); at != std::string::npos;
             at = out.find("[ERROR]", at + 1))
            ++count;
        EXPECT_EQ(count, 1u) << out;
    }
};

TEST_F(UnwritableRecording, ADirectoryInTheWayIsReportedOnce) {
    std::filesystem::create_directory(dir.path() + "/camera.hevc");
    recordBriefly();
    expectOneErrorLine("Is a directory");
}

TEST_F(UnwritableRecording, AFullDiskIsReportedOnce) {
    std::filesystem::create_symlink("/dev/full", dir.path() + "/camera.hevc");
    recordBriefly();
    expectOneErrorLine("No space left on device");
}

}  // namespace
