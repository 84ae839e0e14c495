// Recordings that keep time: MP4 and Matroska with each frame's capture time, read back with
// FFmpeg's own tools; what a killed viewer leaves; and the raw stream's declared rate.
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>

#include "frame.h"
#include "hevc_check.h"
#include "recorded_frames.h"
#include "text_count.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

int reported(const std::string& err, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(err, match, std::regex(name + "=(-?\\d+)")))
        return -1;
    return std::stoi(match[1]);
}

// A recording span as the frame log shows it, capture times in seconds: the frames the ring
// took, and the first and last frames offered to it (taken or dropped). A frame read while
// recording was off ends a span. (A stall of the encoder also leaves a long gap between taken
// frames, but within its span.) The recording flag is read just before the viewer's own, so a
// key's toggle may move a span's first or last frame by one.
struct LoggedSpan {
    std::vector<double> taken;
    double firstOffered = 0.0;
    double lastOffered = 0.0;
};

double seconds(const LoggedFrame& frame) {
    return static_cast<double>(frame.captureTime) / 1e6;
}

std::vector<LoggedSpan> loggedSpans(const std::vector<LoggedFrame>& log, int finalWritten) {
    std::vector<LoggedSpan> spans;
    bool paused = true;
    double firstOffered = -1.0;  // of a span whose first frames were dropped
    for (size_t k = 0; k < log.size(); ++k) {
        const int after = k + 1 < log.size() ? log[k + 1].writtenBefore : finalWritten;
        const double capture = seconds(log[k]);
        if (after > log[k].writtenBefore) {
            if (paused || spans.empty()) {
                spans.emplace_back();
                spans.back().firstOffered = firstOffered >= 0 ? firstOffered : capture;
            }
            paused = false;
            firstOffered = -1.0;
            spans.back().taken.push_back(capture);
            spans.back().lastOffered = capture;
        } else if (!log[k].recording) {
            paused = true;
            firstOffered = -1.0;
        } else if (paused) {
            if (firstOffered < 0)
                firstOffered = capture;
        } else {
            spans.back().lastOffered = capture;
        }
    }
    return spans;
}

class ContainerRecording : public ViewerTest {
  protected:
    std::string file(const char* name) const { return dir.path() + "/" + name; }
    std::string log() const { return dir.path() + "/frames.log"; }

    // Within a span every packet is at the time of its frame, within 10 ms. The first frame
    // offered after a pause follows the last one offered before it by one frame interval.
    // The recording lasts until one interval after the last frame read.
    void expectTimesKept(const std::string& path, double interval) {
        const int encoded = reported(app->standardError(), "encoded");
        EXPECT_GT(encoded, 0) << app->standardError();
        const std::vector<PacketTime> packets = packetTimes(path);
        EXPECT_EQ(static_cast<int>(packets.size()), encoded);
        const std::vector<LoggedFrame> log = readFrameLog(this->log());
        const std::vector<LoggedSpan> spans =
            loggedSpans(log, reported(app->standardError(), "written"));
        size_t i = 0, spansSeen = 0;
        double lastPacketCapture = 0.0;
        for (size_t s = 0; s < spans.size() && i < packets.size(); ++s, ++spansSeen) {
            const LoggedSpan& span = spans[s];
            const double start = packets[i].time;
            if (s > 0) {
                const LoggedSpan& before = spans[s - 1];
                const double gap = (before.lastOffered - before.taken.back()) + interval +
                                   (span.taken[0] - span.firstOffered);
                EXPECT_NEAR(start - packets[i - 1].time, gap, interval + 0.010) << "span " << s;
            } else {
                EXPECT_NEAR(start, 0.0, 0.001);
            }
            for (size_t k = 0; k < span.taken.size() && i < packets.size(); ++k, ++i) {
                EXPECT_NEAR(packets[i].time - start, span.taken[k] - span.taken[0], 0.010)
                    << "span " << s << ", frame " << k;
                lastPacketCapture = span.taken[k];
            }
        }
        EXPECT_EQ(i, packets.size()) << "packets beyond the frames the ring took";
        // The last packet shows until one interval after the last frame read. (A slow build
        // may leave the last span's frames all in the ring at the close.)
        if (!packets.empty() && spansSeen == spans.size() && !log.empty()) {
            EXPECT_NEAR(containerDuration(path),
                        packets.back().time + (seconds(log.back()) - lastPacketCapture) + interval,
                        interval);
        }
        EXPECT_EQ(decodeErrors(path), "");
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
    // What an earlier run's rewrite, cut short, left behind goes at the start.
    { std::ofstream(file(".camera.mp4.rewrite")) << "half a rewrite"; }
    start({"--fps=30", "--record", "--output=camera.mp4"});
    EXPECT_FALSE(std::filesystem::exists(file(".camera.mp4.rewrite")));
    EXPECT_EQ(countOf(app->standardOutput(),
                      "Removed \".camera.mp4.rewrite\", left by an "
                      "earlier run's unfinished rewrite"),
              1)
        << app->standardOutput();
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
    // At 5 frames a second even a loaded machine encodes every frame.
    start({"--fps=5", "--record", "--output=camera.mkv"});
    std::this_thread::sleep_for(5s);
    ASSERT_EQ(close(), 0) << app->standardError();
    const std::vector<PacketTime> packets = packetTimes(file("camera.mkv"));
    if (packets.size() <= 10)
        GTEST_SKIP() << "a slow (sanitizer) build encoded too few frames to judge";
    std::vector<size_t> keys;
    for (size_t i = 0; i < packets.size(); ++i)
        if (packets[i].key)
            keys.push_back(i);
    ASSERT_GE(keys.size(), 2u) << packets.size() << " packets";
    EXPECT_EQ(keys[0], 0u);
    for (size_t k = 1; k < keys.size(); ++k) {
        EXPECT_EQ(keys[k] - keys[k - 1], 10u) << "key frame " << k;
        // Dropped frames only lengthen the stretch; a late read's return may shorten it by
        // that lateness.
        EXPECT_GE(packets[keys[k]].time - packets[keys[k - 1]].time, 2.0 - 0.1);
    }
}

// A viewer killed outright leaves a file that FFmpeg plays to within 2 s of the kill.
class KilledRecording : public ContainerRecording,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(KilledRecording, LeavesAtLeastThreeSecondsOfFiveThatFfmpegDecodes) {
    const std::string name = std::string("camera.") + GetParam();
    // At 10 frames a second even a loaded machine encodes nearly every frame as it comes.
    start({"--fps=10", "--record", "--frame-log=" + log(), "--output=" + name});
    std::this_thread::sleep_for(5s);
    app->sendSignal(SIGKILL);
    app->waitForExit(5s);
    ASSERT_EQ(app->signal(), SIGKILL);
    // What was muxed is in the file but for the last half second (and a fifth for the cluster
    // that closes only past it, and Matroska's millisecond clock): the frame that the ring took
    // nine frames before its last (four in the ring, three in the encoder, one held for its
    // duration) was muxed. On a machine that keeps up that is past 3 s; a slow (sanitizer)
    // build may take far fewer.
    const std::vector<LoggedSpan> spans = loggedSpans(readFrameLog(log()), INT32_MAX);
    ASSERT_EQ(spans.size(), 1u);
    const std::vector<double>& taken = spans[0].taken;
    if (taken.size() <= 20)
        GTEST_SKIP() << "a slow (sanitizer) build took too few frames to judge";
    const double muxed = taken[taken.size() - 10] - taken[0];
    const std::vector<PacketTime> packets = packetTimes(file(name.c_str()));
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(probe(file(name.c_str())).frames, static_cast<int>(packets.size()));
    EXPECT_EQ(decodeErrors(file(name.c_str())), "");
    EXPECT_GE(packets.back().time, std::min(3.0, muxed - 0.5 - 0.2))
        << taken.size() << " frames taken";
}

INSTANTIATE_TEST_SUITE_P(Mp4AndMatroska, KilledRecording, ::testing::Values("mp4", "mkv"));

// Every codec into every output: FFmpeg decodes it without a complaint, each picture is the
// one shown (30 dB or more) at its capture time, and each span starts on a key frame.
struct CodecOutput {
    const char* codec;
    const char* file;
};

void PrintTo(const CodecOutput& output, std::ostream* os) {
    *os << output.codec << " into " << output.file;
}

class CodecRecording : public ContainerRecording,
                       public ::testing::WithParamInterface<CodecOutput> {};

TEST_P(CodecRecording, DecodesAtTheCaptureTimesAndStartsEachSpanOnAKeyFrame) {
    const std::string name = GetParam().file;
    start({"--fps=30", "--frame-log=" + log(), std::string("--codec=") + GetParam().codec,
           "--output=" + name});
    x.tap(XK_space);
    std::this_thread::sleep_for(1500ms);
    x.tap(XK_space);
    std::this_thread::sleep_for(700ms);
    x.tap(XK_space);
    std::this_thread::sleep_for(1200ms);
    ASSERT_EQ(close(), 0) << app->standardError();
    const std::string path = file(name.c_str());

    const int encoded = reported(app->standardError(), "encoded");
    const std::string codec = GetParam().codec;
    const StreamInfo info = probe(path);
    EXPECT_EQ(info.codec, codec);
    EXPECT_EQ(info.frames, encoded);
    // As players expect each in an MP4; Apple's refuse HEVC as hev1.
    if (name == "camera.mp4") {
        const std::map<std::string, std::string> tags = {
            {"h264", "avc1"}, {"hevc", "hvc1"}, {"av1", "av01"}};
        EXPECT_EQ(info.tag, tags.at(codec));
    }
    // The raw H.264 and HEVC streams carry no times, and IVF keeps them in whole frames at the
    // rate its header declares.
    if (name == "camera.mp4" || name == "camera.mkv")
        expectTimesKept(path, 1.0 / 30);
    else
        EXPECT_EQ(decodeErrors(path), "");
    if (name == "camera.ivf")
        EXPECT_EQ(info.frameRate, "30/1");

    const int written = reported(app->standardError(), "written");
    expectPicturesShown(path, encoded, log(), written, 0x0F);

    const std::vector<bool> keys = packetKeys(path);
    ASSERT_EQ(static_cast<int>(keys.size()), encoded);
    size_t first = 0;
    for (const LoggedSpan& span : loggedSpans(readFrameLog(log()), written)) {
        if (first < keys.size())
            EXPECT_TRUE(keys[first]) << "the span starting with packet " << first;
        first += span.taken.size();
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachCodecIntoEachOutput, CodecRecording,
    ::testing::Values(CodecOutput{"h264", "camera.mp4"}, CodecOutput{"h264", "camera.mkv"},
                      CodecOutput{"h264", "camera.h264"}, CodecOutput{"hevc", "camera.mp4"},
                      CodecOutput{"hevc", "camera.mkv"}, CodecOutput{"hevc", "camera.hevc"},
                      CodecOutput{"av1", "camera.mp4"}, CodecOutput{"av1", "camera.mkv"},
                      CodecOutput{"av1", "camera.ivf"}),
    [](const ::testing::TestParamInfo<CodecOutput>& info) {
        std::string name = std::string(info.param.codec) + "_" + info.param.file;
        std::replace(name.begin(), name.end(), '.', '_');
        return name;
    });

TEST_F(ContainerRecording, TheRawStreamDeclaresTheCamerasRate) {
    start({"--fps=15", "--record"});
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(close(), 0) << app->standardError();
    const StreamInfo info = probe(file("camera.hevc"));
    EXPECT_EQ(info.frameRate, "15/1");
    EXPECT_EQ(info.frames, reported(app->standardError(), "encoded"));
}

}  // namespace
