// Recordings that keep time: MP4 and Matroska with each frame's capture time, read back with
// FFmpeg's own tools; what a killed viewer leaves; and the raw stream's declared rate.
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <regex>

#include "hevc_check.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

int reported(const std::string& err, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(err, match, std::regex(name + "=(-?\\d+)")))
        return -1;
    return std::stoi(match[1]);
}

// The capture times, in seconds, of the frames the ring took, in order, split into spans: a
// taken frame after a frame read while recording was off begins a new one. (A stall of the
// encoder also leaves a long gap between taken frames, but within its span.)
std::vector<std::vector<double>> capturedSpans(const std::vector<LoggedFrame>& log,
                                               int finalWritten) {
    std::vector<std::vector<double>> spans;
    bool pausedSinceLastTaken = true;
    for (size_t k = 0; k < log.size(); ++k) {
        const int after = k + 1 < log.size() ? log[k + 1].writtenBefore : finalWritten;
        if (after <= log[k].writtenBefore) {
            pausedSinceLastTaken = pausedSinceLastTaken || !log[k].recording;
            continue;
        }
        if (pausedSinceLastTaken || spans.empty())
            spans.emplace_back();
        pausedSinceLastTaken = false;
        spans.back().push_back(static_cast<double>(log[k].captureTime) / 1e6);
    }
    return spans;
}

class ContainerRecording : public ViewerTest {
  protected:
    std::string file(const char* name) const { return dir.path() + "/" + name; }
    std::string log() const { return dir.path() + "/frames.log"; }

    // Within a span every packet is at the time of its frame, within 10 ms. The first packet
    // of a later span follows the last one before it by one frame interval, or by a few where
    // the frames just before the pause were dropped. Returns the packet times.
    std::vector<PacketTime> expectTimesKept(const std::string& path, double interval) {
        const int encoded = reported(app->standardError(), "encoded");
        EXPECT_GT(encoded, 0) << app->standardError();
        const std::vector<PacketTime> packets = packetTimes(path);
        EXPECT_EQ(static_cast<int>(packets.size()), encoded);
        const std::vector<LoggedFrame> log = readFrameLog(this->log());
        const std::vector<std::vector<double>> spans =
            capturedSpans(log, reported(app->standardError(), "written"));
        size_t i = 0, countInLastSpan = 0;
        for (size_t s = 0; s < spans.size() && i < packets.size(); ++s) {
            const double start = packets[i].time;
            countInLastSpan = 0;
            if (s > 0) {
                const double steps = (start - packets[i - 1].time) / interval;
                EXPECT_NEAR(steps, std::round(steps), 0.010 / interval) << "span " << s;
                EXPECT_GE(std::round(steps), 1.0) << "span " << s;
                EXPECT_LE(std::round(steps), 4.0) << "span " << s;
            } else {
                EXPECT_NEAR(start, 0.0, 0.001);
            }
            for (size_t k = 0; k < spans[s].size() && i < packets.size();
                 ++k, ++i, ++countInLastSpan)
                EXPECT_NEAR(packets[i].time - start, spans[s][k] - spans[s][0], 0.010)
                    << "span " << s << ", frame " << k;
        }
        EXPECT_EQ(i, packets.size()) << "packets beyond the frames the ring took";
        // It lasts until one interval after the last frame read, recorded or dropped.
        if (!packets.empty() && !spans.empty() && !log.empty()) {
            const double lastStart = packets[packets.size() - countInLastSpan].time;
            const double lastRead = static_cast<double>(log.back().captureTime) / 1e6;
            EXPECT_NEAR(containerDuration(path),
                        lastStart + (lastRead - spans.back()[0]) + interval, interval);
        }
        EXPECT_EQ(decodeErrors(path), "");
        return packets;
    }
};

TEST_F(ContainerRecording, Mp4KeepsEachFramesCaptureTimeAndPlaysTwoSpansAsOne) {
    start({"--fps=30", "--frame-log=" + log(), "--output=camera.mp4"});
    x.tap(XK_space);
    std::this_thread::sleep_for(2s);
    x.tap(XK_space);
    std::this_thread::sleep_for(1500ms);
    x.tap(XK_space);
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(close(), 0) << app->standardError();
    expectTimesKept(file("camera.mp4"), 1.0 / 30);
}

TEST_F(ContainerRecording, MatroskaLastsAsLongAsTheSpanAtItsCaptureTimes) {
    start({"--fps=15", "--frame-log=" + log(), "--output=camera.mkv"});
    x.tap(XK_space);
    std::this_thread::sleep_for(3s);
    ASSERT_EQ(close(), 0) << app->standardError();
    expectTimesKept(file("camera.mkv"), 1.0 / 15);
}

TEST_F(ContainerRecording, AfterACleanEndAnMp4HasItsIndexFirstAndNoFragments) {
    start({"--fps=30", "--record", "--output=camera.mp4"});
    std::this_thread::sleep_for(2500ms);
    ASSERT_EQ(close(), 0) << app->standardError();
    const std::vector<std::string> boxes = topLevelBoxes(file("camera.mp4"));
    const auto at = [&](const char* box) {
        return std::find(boxes.begin(), boxes.end(), box) - boxes.begin();
    };
    ASSERT_LT(at("moov"), static_cast<long>(boxes.size())) << ::testing::PrintToString(boxes);
    EXPECT_LT(at("moov"), at("mdat")) << ::testing::PrintToString(boxes);
    EXPECT_EQ(at("moof"), static_cast<long>(boxes.size())) << ::testing::PrintToString(boxes);
    EXPECT_GT(containerDuration(file("camera.mp4")), 1.0);
    EXPECT_EQ(decodeErrors(file("camera.mp4")), "");
    EXPECT_FALSE(std::filesystem::exists(file(".camera.mp4.rewrite")));
}

TEST_F(ContainerRecording, KeyFramesComeEveryTwoSeconds) {
    // At 10 frames a second even a loaded machine encodes every frame.
    start({"--fps=10", "--record", "--output=camera.mkv"});
    std::this_thread::sleep_for(5s);
    ASSERT_EQ(close(), 0) << app->standardError();
    const std::vector<PacketTime> packets = packetTimes(file("camera.mkv"));
    std::vector<size_t> keys;
    for (size_t i = 0; i < packets.size(); ++i)
        if (packets[i].key)
            keys.push_back(i);
    ASSERT_GE(keys.size(), 2u) << packets.size() << " packets";
    EXPECT_EQ(keys[0], 0u);
    for (size_t k = 1; k < keys.size(); ++k) {
        EXPECT_EQ(keys[k] - keys[k - 1], 20u) << "key frame " << k;
        // Dropped frames only lengthen the stretch.
        EXPECT_GE(packets[keys[k]].time - packets[keys[k - 1]].time, 2.0 - 0.005);
    }
}

// A viewer killed outright leaves a file that FFmpeg plays to within 2 s of the kill.
class KilledRecording : public ContainerRecording,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(KilledRecording, LeavesAtLeastThreeSecondsOfFiveThatFfmpegDecodes) {
    const std::string name = std::string("camera.") + GetParam();
    // At 10 frames a second even a loaded machine encodes nearly every frame as it comes.
    start({"--fps=10", "--record", "--output=" + name});
    std::this_thread::sleep_for(5s);
    app->sendSignal(SIGKILL);
    app->waitForExit(5s);
    ASSERT_EQ(app->signal(), SIGKILL);
    const std::vector<PacketTime> packets = packetTimes(file(name.c_str()));
    ASSERT_FALSE(packets.empty());
    EXPECT_GE(packets.back().time, 3.0);
    EXPECT_EQ(probe(file(name.c_str())).frames, static_cast<int>(packets.size()));
    EXPECT_EQ(decodeErrors(file(name.c_str())), "");
}

INSTANTIATE_TEST_SUITE_P(Mp4AndMatroska, KilledRecording, ::testing::Values("mp4", "mkv"));

TEST_F(ContainerRecording, TheRawStreamDeclaresTheCamerasRate) {
    start({"--fps=15", "--record"});
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(close(), 0) << app->standardError();
    const StreamInfo info = probe(file("camera.hevc"));
    EXPECT_EQ(info.frameRate, "15/1");
    EXPECT_EQ(info.frames, reported(app->standardError(), "encoded"));
}

}  // namespace
