// The command line: where the picture and the sound come from and where the recording goes.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "video_output.h"

struct Options {
    int camera = 0;            // camera index, used when neither input nor testPattern is given
    std::string input;         // a video file shown as the camera; empty: a camera
    bool testPattern = false;  // the built-in moving pattern instead of a camera
    VideoCodec codec = VideoCodec::Hevc;
    std::string output = "camera.hevc";  // without --output, the codec's: camera.h264, camera.ivf
    std::string stream;                  // srt:// or rtsp:// URL; empty: no stream
    std::string audio;                   // the sound server's source; empty: its default
    int64_t bitrate = 0;                 // bits a second the encoder keeps to; 0: constant quality
    bool noAudio = false;
    bool fullScreen = false;
    std::string snapshots;  // the folder S saves into; empty: the recording's folder
};

struct CommandLine {
    Options options;
    // Set when the program ends here: 0 after --help or --version, 2 after a refusal.
    std::optional<int> exitStatus;
};

// Parses argv. --help and --version write to `out`; a refusal writes what was wrong and the
// usage to `err`.
CommandLine parseCommandLine(int argc, const char* const* argv, std::ostream& out,
                             std::ostream& err);

// The rates --bitrate takes, in bits a second: below this the picture falls apart, above it
// no link a stream goes over carries it.
constexpr int64_t kMinBitrate = 100'000;
constexpr int64_t kMaxBitrate = 200'000'000;

// A rate as --bitrate takes it (4M, 2500k, 4000000), in bits a second; nothing when it is no
// number or out of range.
std::optional<int64_t> bitrateOf(const std::string& text);

// The encoders this build can record with, as --version names them.
std::string encoderSupport();
