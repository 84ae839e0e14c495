// The command line: where the picture and the sound come from and where the recording goes.
#pragma once

#include <optional>
#include <ostream>
#include <string>

struct Options {
    int camera = 0;            // camera index, used when neither input nor testPattern is given
    std::string input;         // a video file shown as the camera; empty: a camera
    bool testPattern = false;  // the built-in moving pattern instead of a camera
    std::string output = "camera.hevc";
    std::string stream;  // srt:// or rtsp:// URL; empty: no stream
    std::string audio;   // the sound server's source; empty: its default
    bool noAudio = false;
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

// The encoders this build can record with, as --version names them.
std::string encoderSupport();
