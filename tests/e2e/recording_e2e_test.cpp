// Recording end to end: keys switch recording on and off, the window closes, and FFmpeg's
// decoder must read "camera.hevc" as one stream of the frames that were handed to the encoder.
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <regex>

#include "frame.h"
#include "free_port.h"
#include "hevc_check.h"
#include "host_kernels.h"
#include "picture_match.h"
#include "recorded_frames.h"
#include "text_count.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

size_t errorLines(const std::string& out) {
    return static_cast<size_t>(countOf(out, "[ERROR]"));
}

// What a sanitizer or the allocator would say of a broken heap or a race.
void expectNoRuntimeReport(const std::string& err) {
    for (const char* report : {"Sanitizer", "runtime error", "double free", "corruption"})
        EXPECT_EQ(err.find(report), std::string::npos) << err;
}

int reported(const std::string& err, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(err, match, std::regex(name + "=(-?\\d+)")))
        return -1;
    return std::stoi(match[1]);
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
        EXPECT_EQ(decodeErrors(file()), "");

        // The encoder takes the ring's frames in order.
        expectPicturesShown(file(), encoded, log(), reported(app->standardError(), "written"),
                            mask);
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
    // It closes itself after four seconds, which a slow build may spend on its first frames.
    start({"--fps=30", "--record", "--seconds=4"}, CAMFX_TESTAPP, false);
    ASSERT_EQ(app->waitForExit(60s), 0) << app->standardError();
    const int encoded = reported(app->standardError(), "encoded");
    EXPECT_GT(encoded, 0) << app->standardError();
    EXPECT_EQ(probe(file()).frames, encoded);
    // The close ends the span: one line with what the file received. The session's start
    // and close are quiet: nothing the encoder refuses is asked of it.
    const std::string out = app->standardOutput();
    EXPECT_EQ(errorLines(out), 0u) << out;
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

// The first signal ends the viewer as closing its window does: the pictures the encoder
// holds are written and the status is 0.
class EndedBySignal : public Recording, public ::testing::WithParamInterface<int> {};

TEST_P(EndedBySignal, FinishesTheRecording) {
    start({"--fps=30", "--record"});
    std::this_thread::sleep_for(2s);
    app->sendSignal(GetParam());
    ASSERT_EQ(app->waitForExit(3s), 0) << app->standardError();
    const int encoded = reported(app->standardError(), "encoded");
    EXPECT_GT(encoded, 0) << app->standardError();
    EXPECT_EQ(probe(file()).frames, encoded) << "every frame handed to the encoder";
    EXPECT_EQ(decodeErrors(file()), "");
}

INSTANTIATE_TEST_SUITE_P(SigintAndSigterm, EndedBySignal, ::testing::Values(SIGINT, SIGTERM));

TEST_F(Recording, ASecondSigintEndsTheViewerAtOnce) {
    start({"--fps=30", "--record"});
    std::this_thread::sleep_for(1s);
    // Two signals sent together arrive as one: repeat until the viewer has ended. Ending
    // the recording takes far longer than the few milliseconds between two.
    for (int i = 0; i < 2000 && app->running(); ++i) {
        app->sendSignal(SIGINT);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(app->signal(), SIGINT) << app->standardError();
}

TEST_F(Recording, ASecondViewerInTheFolderLeavesTheRecordingAlone) {
    start({"--fps=30", "--record"});
    std::this_thread::sleep_for(1s);
    // Its window has the same title: a signal closes it.
    ChildProcess second(CAMFX_TESTAPP, {"--fps=30", "--record"}, dir.path(), childEnvironment());
    for (int i = 0; i < 300 && errorLines(second.standardOutput()) == 0; ++i)
        std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(second.running()) << second.standardError();
    second.sendSignal(SIGINT);
    EXPECT_EQ(second.waitForExit(20s), 0) << second.standardError();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(close(), 0) << app->standardError();

    const std::string out = second.standardOutput();
    EXPECT_TRUE(std::regex_search(
        out, std::regex(R"(\[ERROR\]\[\d\d:\d\d:\d\d\] Cannot lock "camera\.hevc": it is held )"
                        R"(by process )" +
                        std::to_string(app->pid()) + R"( \(camfx-testapp\); the video is not)")))
        << out;
    EXPECT_EQ(errorLines(out), 1u) << out;
    const int encoded = reported(app->standardError(), "encoded");
    EXPECT_GT(encoded, 0) << app->standardError();
    EXPECT_EQ(probe(file()).frames, encoded);
    EXPECT_EQ(decodeErrors(file()), "");
}

// The ERROR line comes when the file fails and again at every switch-on of recording while
// it takes nothing; the viewer runs on and ends normally.
class UnwritableRecording : public ViewerTest {
  protected:
    void waitForErrorLines(size_t count) {
        for (int i = 0; i < 200 && errorLines(app->standardOutput()) < count; ++i)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(errorLines(app->standardOutput()), count) << app->standardOutput();
    }
    // Switches recording on twice, waiting for the ERROR lines expected after each.
    void switchOnTwice(size_t afterFirst, size_t afterSecond) {
        x.tap(XK_space);
        waitForErrorLines(afterFirst);
        x.tap(XK_space);
        x.tap(XK_space);
        waitForErrorLines(afterSecond);
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(app->running());
        ASSERT_EQ(close(), 0) << app->standardError();
        EXPECT_EQ(errorLines(app->standardOutput()), afterSecond) << app->standardOutput();
    }
    void expectReason(const std::string& action, const std::string& reason) {
        EXPECT_TRUE(std::regex_search(
            app->standardOutput(),
            std::regex(R"(\[ERROR\]\[\d\d:\d\d:\d\d\] Cannot )" + action + R"( "camera\.hevc": )" +
                       reason + "; the video is not being recorded\n")))
            << app->standardOutput();
    }
};

TEST_F(UnwritableRecording, ADirectoryInTheWayIsReportedAtStartAndAtEverySwitchOn) {
    std::filesystem::create_directory(dir.path() + "/camera.hevc");
    start();
    waitForErrorLines(1);
    switchOnTwice(2, 3);
    expectReason("open", "Is a directory");
}

TEST_F(UnwritableRecording, AFullDiskIsReportedAtTheFailureAndAtEverySwitchOnAfter) {
    std::filesystem::create_symlink("/dev/full", dir.path() + "/camera.hevc");
    start();
    switchOnTwice(1, 2);
    expectReason("write", "No space left on device");
}

// An X server of the test's own, which the test can take away from the viewer.
class OwnXServer {
  public:
    OwnXServer() {
        for (int n = 170; n < 200 && m_server == nullptr; ++n) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock") ||
                std::filesystem::exists(socket))
                continue;
            name = ":" + std::to_string(n);
            m_server = std::make_unique<ChildProcess>(
                "/usr/bin/Xvfb",
                std::vector<std::string>{name, "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
                m_dir.path());
            for (int i = 0; i < 100 && m_server->running() && !std::filesystem::exists(socket); ++i)
                std::this_thread::sleep_for(50ms);
            if (!m_server->running())
                m_server.reset();  // another server took the number first
        }
    }
    // Terminated rather than killed, so that it removes its lock and socket.
    ~OwnXServer() { stop(); }
    void stop() {
        if (m_server != nullptr) {
            m_server->sendSignal(SIGTERM);
            m_server->waitForExit(10s);
        }
    }
    bool running() const { return m_server != nullptr && m_server->running(); }

    std::string name;

  private:
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_server;
};

// What the viewer records while its display goes: nothing, the raw stream, or a container
// beside a stream to a server that is not there, whose end must not hold up the file's.
enum class LossRecording { Nothing, Raw, Mp4BesideAStream, MatroskaBesideAStream };

class DisplayLoss : public ::testing::TestWithParam<LossRecording> {};

TEST_P(DisplayLoss, EndsTheViewerWithStatusOneAndTheRecordingIntact) {
    const LossRecording recording = GetParam();
    TempDir dir;
    OwnXServer server;
    ASSERT_TRUE(server.running());
    auto environment = childEnvironment();
    environment["DISPLAY"] = server.name;
    std::vector<std::string> arguments{"--fps=30"};
    std::string file = dir.path() + "/camera.hevc";
    if (recording != LossRecording::Nothing)
        arguments.push_back("--record");
    if (recording == LossRecording::Mp4BesideAStream ||
        recording == LossRecording::MatroskaBesideAStream) {
        file = dir.path() +
               (recording == LossRecording::Mp4BesideAStream ? "/camera.mp4" : "/camera.mkv");
        arguments.push_back("--output=" + file);
        arguments.push_back("--stream=srt://127.0.0.1:" + std::to_string(freeUdpPort()));
    }
    ChildProcess app(CAMFX_TESTAPP, arguments, dir.path(), environment);
    {
        // Closed before the server goes, or this process would lose its display too.
        X11Driver x(server.name.c_str());
        ASSERT_NE(x.waitForWindow("Camera", 15s), 0u) << app.standardError();
    }
    std::this_thread::sleep_for(2s);
    server.stop();
    EXPECT_EQ(app.waitForExit(2s), 1) << (app.running() ? "still running" : app.standardError());

    const std::string out = app.standardOutput();
    EXPECT_TRUE(std::regex_search(
        out,
        std::regex(R"(\[ERROR\]\[\d\d:\d\d:\d\d\] Lost the display ":\d+"; the viewer ends\n)")))
        << out;
    EXPECT_EQ(errorLines(out), 1u) << out;
    expectNoRuntimeReport(app.standardError());
    switch (recording) {
        case LossRecording::Nothing:
            EXPECT_EQ(std::filesystem::file_size(file), 0u);
            break;
        case LossRecording::Raw:
            EXPECT_GT(probe(file).frames, 0);
            EXPECT_EQ(decodeErrors(file), "");
            break;
        case LossRecording::Mp4BesideAStream: {
            const std::vector<std::string> boxes = topLevelBoxes(file);
            const auto at = [&](const char* box) {
                return std::find(boxes.begin(), boxes.end(), box) - boxes.begin();
            };
            EXPECT_LT(at("moov"), at("mdat")) << ::testing::PrintToString(boxes);
            EXPECT_EQ(at("moof"), static_cast<long>(boxes.size()))
                << ::testing::PrintToString(boxes);
            EXPECT_FALSE(std::filesystem::exists(dir.path() + "/.camera.mp4.rewrite"));
            EXPECT_EQ(decodeErrors(file), "");
            break;
        }
        case LossRecording::MatroskaBesideAStream:
            EXPECT_GT(containerDuration(file), 1.0);
            EXPECT_EQ(decodeErrors(file), "");
            break;
    }
}

std::string lossName(const ::testing::TestParamInfo<LossRecording>& info) {
    static const char* const names[] = {"Nothing", "Raw", "Mp4BesideAStream",
                                        "MatroskaBesideAStream"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(EachKindOfRecording, DisplayLoss,
                         ::testing::Values(LossRecording::Nothing, LossRecording::Raw,
                                           LossRecording::Mp4BesideAStream,
                                           LossRecording::MatroskaBesideAStream),
                         lossName);

}  // namespace
