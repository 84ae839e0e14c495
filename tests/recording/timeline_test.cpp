// The recording's clock: frame rates as fractions, output kinds by name, the timeline that
// leaves out pauses, and the warning of a raw stream that will not play in real time.
#include <gtest/gtest.h>

#include <cmath>

#include "captured_log.h"
#include "recording_span.h"
#include "recording_timeline.h"
#include "video_output.h"

namespace {

TEST(FrameRate, IsTheCamerasRateAsAFraction) {
    const auto expectRate = [](double fps, int num, int den) {
        const FrameRate rate = frameRateOf(fps);
        EXPECT_EQ(rate.num, num) << fps;
        EXPECT_EQ(rate.den, den) << fps;
    };
    expectRate(15.0, 15, 1);
    expectRate(30.0, 30, 1);
    expectRate(29.97002997, 30000, 1001);
    expectRate(59.94, 60000, 1001);
    expectRate(12.5, 25, 2);
    // Not reported, or nonsense: 30/1.
    expectRate(0.0, 30, 1);
    expectRate(-1.0, 30, 1);
    expectRate(std::nan(""), 30, 1);
    EXPECT_EQ(frameRateOf(30000.0 / 1001).intervalMicroseconds(), 33367);
    EXPECT_EQ(frameRateOf(15).intervalMicroseconds(), 66667);
}

TEST(OutputKind, ComesFromTheExtension) {
    EXPECT_EQ(outputKindOf("a.mp4"), OutputKind::Mp4);
    EXPECT_EQ(outputKindOf("dir.mkv/a.MOV"), OutputKind::Mp4);
    EXPECT_EQ(outputKindOf("a.mkv"), OutputKind::Matroska);
    EXPECT_EQ(outputKindOf("camera.hevc"), OutputKind::RawStream);
    EXPECT_EQ(outputKindOf("mp4"), OutputKind::RawStream);
    EXPECT_EQ(outputPathProblem("camera.hevc"), "");
    EXPECT_EQ(outputPathProblem("a.mp4"), "");
    EXPECT_NE(outputPathProblem("a.flv"), "");
    EXPECT_NE(outputPathProblem("/no/such/dir/camera.hevc"), "");
}

TEST(OutputKind, ARawStreamsExtensionNamesItsCodec) {
    for (const char* raw : {"a.hevc", "a.265", "a.h264", "a.264", "a.ivf", "a.bin", "camera"})
        EXPECT_EQ(outputPathProblem(raw), "") << raw;
    EXPECT_EQ(outputCodecProblem("a.H264", VideoCodec::H264), "");
    EXPECT_EQ(outputCodecProblem("a.264", VideoCodec::H264), "");
    EXPECT_EQ(outputCodecProblem("a.265", VideoCodec::Hevc), "");
    EXPECT_EQ(outputCodecProblem("a.ivf", VideoCodec::Av1), "");
    // A name that says nothing of the codec, and the containers, take any.
    for (VideoCodec codec : {VideoCodec::Hevc, VideoCodec::H264, VideoCodec::Av1}) {
        for (const char* any : {"a.bin", "a.mp4", "a.mkv"})
            EXPECT_EQ(outputCodecProblem(any, codec), "") << any;
        EXPECT_EQ(outputCodecProblem(defaultOutputName(codec), codec), "");
    }
    EXPECT_EQ(outputCodecProblem("a.hevc", VideoCodec::Av1),
              "\".hevc\" is a raw HEVC stream, but --codec is av1; name it .ivf, .mp4 or .mkv, "
              "or give --codec hevc");
    EXPECT_NE(outputCodecProblem("a.ivf", VideoCodec::H264), "");
    EXPECT_NE(outputCodecProblem("a.h264", VideoCodec::Hevc), "");
}

TEST(RecordingTimeline, StartsAtZeroKeepsGapsAndLeavesOutPauses) {
    RecordingTimeline timeline(33333);
    EXPECT_EQ(timeline.timeOf(5000000, true), 0);
    EXPECT_EQ(timeline.timeOf(5033000, false), 33000);
    // A dropped frame's time stays empty: the next one keeps its own.
    EXPECT_EQ(timeline.timeOf(5100000, false), 100000);
    // Four seconds paused: the next span follows one interval after the last frame.
    EXPECT_EQ(timeline.timeOf(9100000, true), 133333);
    EXPECT_EQ(timeline.timeOf(9150000, false), 183333);
    EXPECT_EQ(timeline.timeOf(20000000, true), 216666);
    EXPECT_EQ(timeline.end(), 249999);
    EXPECT_EQ(RecordingTimeline(33333).end(), 0) << "nothing recorded";
}

TEST(RecordingTimeline, SoundMovesWithItsSpanAndIsLeftOutInPauses) {
    constexpr int64_t kLeftOut = RecordingTimeline::kLeftOut;
    constexpr int64_t kNotYetKnown = RecordingTimeline::kNotYetKnown;
    RecordingTimeline timeline(33333);
    EXPECT_EQ(timeline.soundTimeOf(5000000), kNotYetKnown) << "no frame yet";
    timeline.notRecorded(4966667);
    EXPECT_EQ(timeline.soundTimeOf(4900000), kLeftOut) << "before a frame not recorded";
    EXPECT_EQ(timeline.soundTimeOf(5000000), kNotYetKnown) << "the next frame may record";
    timeline.timeOf(5000000, true);
    EXPECT_EQ(timeline.soundTimeOf(4999999), kLeftOut) << "before the first frame";
    EXPECT_EQ(timeline.soundTimeOf(5010000), 10000);
    // A span still running takes what comes after its last frame.
    EXPECT_EQ(timeline.soundTimeOf(5500000), 500000);
    timeline.timeOf(5033000, false);
    timeline.notRecorded(5066400);
    // The span ends one interval after its last frame; the pause is left out, as far as the
    // frames have gone.
    EXPECT_EQ(timeline.soundTimeOf(5066332), 66332);
    EXPECT_EQ(timeline.soundTimeOf(5066333), kLeftOut);
    EXPECT_EQ(timeline.soundTimeOf(7000000), kNotYetKnown);
    timeline.notRecorded(8966667);
    EXPECT_EQ(timeline.soundTimeOf(7000000), kLeftOut);
    // Sound of the next span that came before its first frame is placed once that frame is.
    EXPECT_EQ(timeline.soundTimeOf(9010000), kNotYetKnown);
    EXPECT_EQ(timeline.timeOf(9000000, true), 66333);
    EXPECT_EQ(timeline.soundTimeOf(9000000), 66333);
    EXPECT_EQ(timeline.soundTimeOf(9010000), 76333);
    // Sound that comes late for the first span still finds it.
    EXPECT_EQ(timeline.soundTimeOf(5020000), 20000);
    // After the last frame nothing more is recorded.
    timeline.close();
    EXPECT_EQ(timeline.soundTimeOf(9033332), 33332 + 66333);
    EXPECT_EQ(timeline.soundTimeOf(9033333), kLeftOut);
}

// A span of `frames` frames offered `interval` seconds apart, to a raw stream at 30/1; every
// `dropEvery`-th frame finds the ring full.
std::string spanLines(int frames, double interval, int dropEvery = 0) {
    double now = 100.0;
    RecordingSpan span("camera.hevc", [&now] { return now; });
    span.checkRateAgainst(30.0, "30/1");
    CapturedLog log;
    for (int i = 0; i < frames; ++i, now += interval) {
        const bool taken = dropEvery == 0 || i % dropEvery != 0;
        span.frameOffered(taken);
        if (taken)
            span.frameEncoded();
    }
    span.recordingOff();
    return log.text();
}

TEST(RecordingSpan, WarnsWhenTheRawStreamWillNotPlayInRealTime) {
    const std::string slow = spanLines(31, 1.0 / 15);
    EXPECT_EQ(countOf(slow, "[INFO ]"), 1) << slow;
    EXPECT_EQ(countOf(slow, "[WARN ]"), 1) << slow;
    EXPECT_NE(slow.find("camera.hevc will play 2.00 times faster than it happened: its frames "
                        "came at 15.0 a second and the raw stream declares 30/1; --output "
                        "NAME.mp4 keeps the real time"),
              std::string::npos)
        << slow;
    EXPECT_LT(slow.find("[INFO ]"), slow.find("[WARN ]")) << "the WARN line follows the INFO";
    EXPECT_NE(spanLines(31, 1.0 / 24).find("1.25 times faster"), std::string::npos);
    EXPECT_NE(spanLines(31, 1.0 / 40).find("1.33 times slower"), std::string::npos);
    // Within 5%: no warning.
    EXPECT_EQ(countOf(spanLines(31, 1.0 / 29), "[WARN ]"), 0);
    EXPECT_EQ(countOf(spanLines(31, 1.0 / 31), "[WARN ]"), 0);
    // Dropped frames make it play faster still: 20 of 30 frames that came at 15 a second.
    EXPECT_NE(spanLines(30, 1.0 / 15, 3).find("3.00 times faster"), std::string::npos)
        << spanLines(30, 1.0 / 15, 3);
    // One frame has no rate.
    EXPECT_EQ(countOf(spanLines(1, 1.0), "[WARN ]"), 0);
}

TEST(RecordingSpan, KeepsQuietForAContainer) {
    double now = 0.0;
    RecordingSpan span("camera.mp4", [&now] { return now; });
    CapturedLog log;
    for (int i = 0; i < 30; ++i, now += 0.1)
        span.frameOffered(true), span.frameEncoded();
    span.close();
    EXPECT_EQ(log.count("[WARN ]"), 0) << log.text();
    EXPECT_EQ(log.count("[INFO ]"), 1) << log.text();
}

// Each span tells its own seconds of sound, and of silence put in where there was none.
TEST(RecordingSpan, TellsEachSpansSoundAndTheSilencePutIn) {
    double now = 0.0;
    RecordingSpan span("camera.mp4", [&now] { return now; });
    CapturedLog log;
    for (int spanIndex = 0; spanIndex < 2; ++spanIndex) {
        for (int i = 0; i < 20; ++i, now += 0.1) {
            span.frameOffered(true), span.frameEncoded();
            span.soundWritten(100'000, spanIndex == 1 && i < 3 ? 100'000 : 0);
        }
        span.recordingOff();
    }
    EXPECT_EQ(log.count("0 dropped, 2.0 s of sound, "), 1) << log.text();
    EXPECT_EQ(log.count("0 dropped, 2.0 s of sound (0.3 s of it silence filled in), "), 1)
        << log.text();
}

}  // namespace
