#include "video_output.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <optional>

#include "output_name.h"

FrameRate frameRateOf(double framesPerSecond) {
    if (!std::isfinite(framesPerSecond) || framesPerSecond <= 0.0 || framesPerSecond > 1000.0)
        return {};
    const double whole = std::round(framesPerSecond);
    if (std::abs(framesPerSecond - whole) < 0.001)
        return {static_cast<int>(whole), 1};
    const double ntsc = std::round(framesPerSecond * 1.001);
    if (std::abs(framesPerSecond - ntsc * 1000.0 / 1001.0) < 0.001)
        return {static_cast<int>(ntsc) * 1000, 1001};
    const int num = static_cast<int>(std::round(framesPerSecond * 1000.0));
    const int divisor = std::gcd(num, 1000);
    return {num / divisor, 1000 / divisor};
}

const char* codecName(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::H264:
            return "H.264";
        case VideoCodec::Av1:
            return "AV1";
        case VideoCodec::Hevc:
            break;
    }
    return "HEVC";
}

const char* codecOption(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::H264:
            return "h264";
        case VideoCodec::Av1:
            return "av1";
        case VideoCodec::Hevc:
            break;
    }
    return "hevc";
}

std::string defaultOutputName(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::H264:
            return "camera.h264";
        case VideoCodec::Av1:
            return "camera.ivf";
        case VideoCodec::Hevc:
            break;
    }
    return "camera.hevc";
}

namespace {

// The codec whose raw stream FFmpeg's muxer of that name writes, if it is one.
std::optional<VideoCodec> rawStreamCodec(const std::string& muxer) {
    if (muxer == "hevc")
        return VideoCodec::Hevc;
    if (muxer == "h264")
        return VideoCodec::H264;
    if (muxer == "ivf")
        return VideoCodec::Av1;
    return std::nullopt;
}

std::string extensionOf(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

}  // namespace

OutputKind outputKindOf(const std::string& path) {
    const std::string extension = extensionOf(path);
    if (extension == ".mp4" || extension == ".mov")
        return OutputKind::Mp4;
    if (extension == ".mkv")
        return OutputKind::Matroska;
    return OutputKind::RawStream;
}

std::string outputPathProblem(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code error;
    // A missing videos folder (a fresh account's) is made when recording starts.
    if (!folder.empty() && !std::filesystem::is_directory(folder, error) &&
        !isUnderUserFolder(folder.string()))
        return "the folder \"" + folder.string() + "\" does not exist";
    if (outputKindOf(path) != OutputKind::RawStream)
        return "";
    // A name that FFmpeg knows as a container we do not write (.avi, .webm, .ts) would
    // otherwise get a raw stream that no player opens under that name.
    const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
    if (format == nullptr || rawStreamCodec(format->name))
        return "";
    return "\"" + extensionOf(path) + "\" names a container (" + format->long_name +
           ") that camfx does not write; use .mp4, .mov or .mkv, or .hevc, .h264 or .ivf for a "
           "raw stream";
}

std::string outputCodecProblem(const std::string& path, VideoCodec codec) {
    if (outputKindOf(path) != OutputKind::RawStream)
        return "";
    const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
    const std::optional<VideoCodec> named = format ? rawStreamCodec(format->name) : std::nullopt;
    if (!named || *named == codec)
        return "";
    return "\"" + extensionOf(path) + "\" is a raw " + codecName(*named) +
           " stream, but --codec is " + codecOption(codec) + "; name it " +
           std::filesystem::path(defaultOutputName(codec)).extension().string() +
           ", .mp4 or .mkv, or give --codec " + codecOption(*named);
}
