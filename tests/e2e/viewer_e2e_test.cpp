// The real viewer under a real X server: start-up failures, keys sent as X events, titles and
// pixels read back from the server, and closing as a window manager asks for it.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "picture_match.h"
#include "text_count.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

// Processes that keep a core busy each at normal priority, for a minute at most; killed with
// the returned objects.
std::vector<std::unique_ptr<ChildProcess>> busyProcesses(int count, const TempDir& dir) {
    std::vector<std::unique_ptr<ChildProcess>> busy;
    for (int i = 0; i < count; ++i)
        busy.push_back(std::make_unique<ChildProcess>(
            "/bin/bash",
            std::vector<std::string>{"-c",
                                     "end=$((SECONDS + 60)); while ((SECONDS < end)); do :; done"},
            dir.path()));
    return busy;
}

// Processor time, in clock ticks, of the process's thread named `name`; -1 if none.
long threadTicks(pid_t pid, const std::string& name) {
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        if (readFile(task.path() / "comm") != name + "\n")
            continue;
        // Past the name in parentheses: the state (field 3) and ten more, then utime and stime.
        const std::string stat = readFile(task.path() / "stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string skipped;
        long user = 0, system = 0;
        for (int i = 3; i < 14; ++i)
            fields >> skipped;
        fields >> user >> system;
        return user + system;
    }
    return -1;
}

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
    // One line with GLFW's reason.
    EXPECT_TRUE(std::regex_match(app.standardError(),
                                 std::regex("Can't create the window: [^\n]*DISPLAY[^\n]*\n"
                                            "window existed: no\n")))
        << app.standardError();
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
    x.press(XK_space);
    std::this_thread::sleep_for(1200ms);
    x.release(XK_space);
    EXPECT_TRUE(x.waitForTitle(window, "Encoding video...", 5s));
    std::this_thread::sleep_for(150ms);
    ASSERT_EQ(close(), 0) << app->standardError();
    EXPECT_NE(app->standardError().find("effectMask=16 recording=1"), std::string::npos)
        << app->standardError();
}

// Every press acts once, whether the machine is busy or the press is shorter than a frame.
TEST_F(ViewerTest, NoPressIsLostUnderLoadOrForBeingShort) {
    start();
    TempDir scratch;
    {
        const auto busy = busyProcesses(2, scratch);
        for (int press = 1; press <= 8; ++press) {
            x.tap(XK_space);
            const char* expected = press % 2 == 1 ? "Encoding video..." : "Camera";
            ASSERT_TRUE(x.waitForTitle(window, expected, 10s)) << "press " << press;
        }
    }
    for (unsigned long key : {XK_1, XK_2, XK_3, XK_4, XK_5, XK_6, XK_7, XK_8})
        x.tap(key, 20ms);
    for (int press = 1; press <= 4; ++press) {
        x.tap(XK_space, 20ms);
        const char* expected = press % 2 == 1 ? "Encoding video..." : "Camera";
        ASSERT_TRUE(x.waitForTitle(window, expected, 10s)) << "short press " << press;
    }
    ASSERT_EQ(close(), 0) << app->standardError();
    EXPECT_NE(app->standardError().find("effectMask=0 recording=0"), std::string::npos)
        << app->standardError();
}

TEST_F(ViewerTest, TheInputThreadSleepsWhileNoKeyIsPressed) {
    start();
    const long before = threadTicks(app->pid(), "camfx-input");
    ASSERT_GE(before, 0) << "no input thread";
    std::this_thread::sleep_for(5s);
    const long used = threadTicks(app->pid(), "camfx-input") - before;
    // 1% of a core over 5 seconds.
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) * 5 / 100) << used << " ticks";
    ASSERT_EQ(close(), 0);
}

// As in "camfx-demo | true": the first log line finds the pipe closed.
TEST_F(ViewerTest, AClosedStandardOutputDoesNotEndTheViewer) {
    ChildProcess demo("/bin/bash", {"-c", "\"$0\" | true; exit ${PIPESTATUS[0]}", CAMFX_DEMO},
                      dir.path(), childEnvironment());
    window = x.waitForWindow("Camera", 15s);
    ASSERT_NE(window, 0u) << demo.standardError();
    std::this_thread::sleep_for(500ms);
    x.requestClose(window);
    EXPECT_EQ(demo.waitForExit(20s), 0) << demo.standardError();
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

TEST_F(ViewerTest, WithoutInteropTheSamePictureComesThroughHostMemory) {
    environment["CAMFX_STANDIN_GL_INTEROP"] = "refuse";
    start({"--fps=30"});
    x.tap(XK_1), x.tap(XK_2), x.tap(XK_3), x.tap(XK_4);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(matchesPattern(x.capture(window), 0x00));
    x.tap(XK_2);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(matchesPattern(x.capture(window), 0x02)) << "negative only";
    ASSERT_EQ(close(), 0);
    EXPECT_EQ(countOf(app->standardOutput(),
                      "] Display: through host memory, CUDA cannot write the GL texture "
                      "(cudaGraphicsGLRegisterImage -> cudaErrorInvalidGraphicsContext)\n"),
              1)
        << app->standardOutput();
}

TEST(FrameLoop, AFailedLaunchEndsTheViewerWithOneErrorLine) {
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "needs an X display";
    TempDir dir;
    // Five launches a frame with every effect on: the twentieth frame's blit faults.
    ChildProcess app(CAMFX_TESTAPP, {"--fps=30", "--fail=cudaLaunchKernel:719:99"}, dir.path(),
                     childEnvironment());
    ASSERT_EQ(app.waitForExit(30s), 1) << app.standardOutput() << app.standardError();
    const std::string out = app.standardOutput();
    EXPECT_EQ(countOf(out, "[ERROR]"), 1) << out;
    EXPECT_EQ(countOf(out, "The GPU failed a frame's work (cudaErrorLaunchFailure)"), 1) << out;
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
    start({"--fps=30", "--camera=failing"}, CAMFX_TESTAPP, false);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(app->running());
    ASSERT_EQ(close(), 0);
}

}  // namespace
