// What the outputs of a recording take, and which output a file name asks for. An output
// knows packets and their times, nothing of the encoder that made them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class Track { Picture, Sound };

// One encoded picture, or a run of sound: its bytes and its time in microseconds on the
// recording's timeline. Every sound packet stands alone, and lasts `duration`.
struct TimedPacket {
    const uint8_t* data = nullptr;
    size_t size = 0;
    int64_t time = 0;
    bool keyFrame = false;
    Track track = Track::Picture;
    int64_t duration = 0;
};

// The sound beside the picture as its encoder describes it: AAC-LC, whose AudioSpecificConfig
// the containers carry. Its packets are stamped with the times their decoded samples play, the
// encoder's priming included, so nothing is to be skipped at the start.
struct SoundTrack {
    std::vector<uint8_t> config;
    int sampleRate = 0;
    int channels = 0;
    int frameSize = 0;
    int64_t bitRate = 0;
};

// A frame rate as a fraction, e.g. 30000/1001.
struct FrameRate {
    int num = 30;
    int den = 1;
    double perSecond() const { return static_cast<double>(num) / den; }
    int64_t intervalMicroseconds() const { return (1000000LL * den + num / 2) / num; }
};

// The fraction a camera's reported rate stands for: whole rates as N/1, the NTSC rates
// (29.97...) as N*1000/1001, anything else to a thousandth; 30/1 when none is reported.
FrameRate frameRateOf(double framesPerSecond);

enum class VideoCodec { Hevc, H264, Av1 };

// "HEVC", "H.264", "AV1": as the viewer's lines name them.
const char* codecName(VideoCodec codec);
// "hevc", "h264", "av1": as --codec takes them.
const char* codecOption(VideoCodec codec);
// The name a recording gets without --output: camera.hevc, camera.h264, camera.ivf.
std::string defaultOutputName(VideoCodec codec);

enum class OutputKind { RawStream, Mp4, Matroska };

// By the name's extension: .mp4 and .mov are MP4, .mkv Matroska, anything else the raw stream.
OutputKind outputKindOf(const std::string& path);

// Why a recording cannot go to `path`, or empty when it can: an extension that names another
// container, or a folder that does not exist.
std::string outputPathProblem(const std::string& path);

// Why `codec` cannot be recorded into `path`, or empty when it can: a raw stream's extension
// that names another codec (.hevc and .265 HEVC, .h264 and .264 H.264, .ivf AV1).
std::string outputCodecProblem(const std::string& path, VideoCodec codec);
