// The real viewer under a real X server: start-up failures, keys sent as X events, titles and
// pixels read back from the server, and closing as a window manager asks for it.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>

#include "picture_match.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

TEST(StartUp, NoCameraWritesTheMessageAndExitsWithMinusOne) {
    TempDir dir;
    // The real program on this machine, which has no camera.
    ChildProcess camfx(CAMFX_BINARY, {}, dir.path(), childEnvironment());
    ASSERT_EQ(camfx.waitForExit(30s), 255);
    const std::string err = camfx.standardError();
    const std::string message = "Can't open camera!\n";
    ASSERT_GE(err.size(), message.size());
    EXPECT_EQ(err.substr(err.size() - message.size()), message);
    EXPECT_EQ(camfx.standardOutput(), "");
}

TEST(StartUp, ClosedCameraStopsBeforeAnyWindow) {
    TempDir dir;
    ChildProcess app(CAMFX_TESTAPP, {"--camera=closed"}, dir.path(), childEnvironment());
    ASSERT_EQ(app.waitForExit(30s), 255);
    EXPECT_EQ(app.standardError(), "Can't open camera!\nwindow existed: no\n");
}

TEST(StartUp, NoDisplayExitsWithMinusOne) {
    TempDir dir;
    auto environment = childEnvironment();
    environment["DISPLAY"] = "";
    environment["WAYLAND_DISPLAY"] = "";
    ChildProcess app(CAMFX_TESTAPP, {}, dir.path(), environment);
    ASSERT_EQ(app.waitForExit(30s), 255);
    EXPECT_NE(app.standardError().find("window existed: no"), std::string::npos);
}

TEST(StartUp, FailingContextCreationIsFatalAfterTheWindowExists) {
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "needs an X display";
    TempDir dir;
    ChildProcess app(CAMFX_TESTAPP, {"--fail=cuCtxCreate:2"}, dir.path(), childEnvironment());
    ASSERT_EQ(app.waitForExit(30s), 1);
    EXPECT_TRUE(std::regex_match(
        app.standardOutput(),
        std::regex(R"((\[INFO \]\[\d\d:\d\d:\d\d\] Camera delivers [^\n]*\n)?)"
                   R"(\[FATAL\]\[\d\d:\d\d:\d\d\] CUDA driver API error CUDA_ERROR_OUT_OF_MEMORY)"
                   R"( at line \d+ in file \S*kernel\.cpp\n)")))
        << app.standardOutput();
    EXPECT_NE(app.standardError().find("window existed: yes"), std::string::npos);
}

TEST_F(ViewerTest, EachKeyFlipsItsBitOncePerPressAndHoldingDoesNotRepeat) {
    start();
    // Held past the X server's auto-repeat delay: still one flip.
    x.press(XK_1);
    std::this_thread::sleep_for(1200ms);
    x.release(XK_1);
    std::this_thread::sleep_for(150ms);
    for (unsigned long key : {XK_2, XK_3, XK_4, XK_5, XK_6, XK_7, XK_8})
        x.tap(key);
    x.tap(XK_5);  // bit 4 back on
    ASSERT_EQ(close(), 0) << app->standardError();
    EXPECT_NE(app->standardError().find("effectMask=16 recording=0"), std::string::npos)
        << app->standardError();
}

TEST_F(ViewerTest, SpaceTogglesRecordingAndTheTitle) {
    start();
    x.tap(XK_space);
    EXPECT_TRUE(x.waitForTitle(window, "Encoding video...", 5s)) << x.title(window);
    x.tap(XK_space);
    EXPECT_TRUE(x.waitForTitle(window, "Camera", 5s)) << x.title(window);
    ASSERT_EQ(close(), 0);
    EXPECT_NE(app->standardError().find("recording=0"), std::string::npos);
}

TEST_F(ViewerTest, ClosingWhileKeysAreHeldEndsPromptly) {
    start();
    x.press(XK_3);
    x.press(XK_space);
    std::this_thread::sleep_for(300ms);
    const std::optional<int> status = close();
    x.release(XK_space);
    x.release(XK_3);
    EXPECT_EQ(status, 0) << (app->running() ? "still running" : app->standardError());
}

TEST_F(ViewerTest, ShowsTheProcessedPatternForEachEffectSet) {
    start({"--fps=30"});
    // All four effects are on at start: the swirl's phase is the viewer's clock, so the test
    // finds the phase that explains the picture best.
    SwirlMatch swirl = matchSwirledPattern(x.capture(window), 0x0F);
    EXPECT_GE(swirl.matchingShare, kSwirlMatchingShare) << "phase " << swirl.time;

    x.tap(XK_1), x.tap(XK_2), x.tap(XK_3), x.tap(XK_4);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(matchesPattern(x.capture(window), 0x00)) << "all effects off";

    x.tap(XK_2);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(matchesPattern(x.capture(window), 0x02)) << "negative only";

    x.tap(XK_2), x.tap(XK_3);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(matchesPattern(x.capture(window), 0x04)) << "mirror only";

    x.tap(XK_3), x.tap(XK_1);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(matchesPattern(x.capture(window), 0x01)) << "mosaic only";

    ASSERT_EQ(close(), 0);
}

TEST_F(ViewerTest, OddCameraFramesAreShownAtFullSize) {
    start({"--fps=30", "--camera=gray"});
    x.tap(XK_1), x.tap(XK_2), x.tap(XK_3), x.tap(XK_4);
    std::this_thread::sleep_for(300ms);
    // The one-channel pattern is its blue channel, shown as gray.
    EXPECT_TRUE(matchesGrayPattern(x.capture(window)));
    ASSERT_EQ(close(), 0);
}

TEST_F(ViewerTest, FailingReadsKeepTheViewerRunning) {
    start({"--fps=30", "--camera=failing"});
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(app->running());
    ASSERT_EQ(close(), 0);
}

}  // namespace
