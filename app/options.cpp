#include "options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>

#include "EncoderLoader.h"
#include "output_name.h"
#include "stream_output.h"
#include "video_output.h"

namespace {

// Validators with no description, so that the usage shows only the value's own name.
const CLI::Validator kCameraIndex(
    [](std::string& value) -> std::string {
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
            return "a camera index is a whole number from 0, not \"" + value + "\"";
        return "";
    },
    "");
const CLI::Validator kExistingFile = CLI::Validator(CLI::ExistingFile).description("");
const CLI::Validator kNotEmpty(
    [](std::string& value) -> std::string { return value.empty() ? "must not be empty" : ""; }, "");
// A desktop entry's command has no shell: "~/" and the user's folders are expanded here.
const CLI::Validator kUserFolder(
    [](std::string& value) -> std::string {
        value = expandUserFolder(value);
        return "";
    },
    "");
// Refused before the window opens, rather than found out at the first Space; date fields as
// they would be filled now.
const CLI::Validator kWritableOutput(
    [](std::string& value) { return outputPathProblem(fillDateFields(value, std::time(nullptr))); },
    "");
const CLI::Validator kFolder(
    [](std::string& value) -> std::string {
        const std::string folder = fillDateFields(value, std::time(nullptr));
        std::error_code error;
        if (std::filesystem::is_directory(folder, error) || isUnderUserFolder(folder))
            return "";
        return "the folder \"" + folder + "\" does not exist";
    },
    "");
const CLI::Validator kStreamUrl([](std::string& value) { return streamUrlProblem(value); }, "");
// Rewrites 4M or 2500k as plain bits a second, which the option then reads.
const CLI::Validator kBitrate(
    [](std::string& value) -> std::string {
        const std::optional<int64_t> rate = bitrateOf(value);
        if (!rate)
            return "\"" + value +
                   "\" is no rate: bits a second as 4M, 2500k or 4000000, from 100k to 200M";
        value = std::to_string(*rate);
        return "";
    },
    "");

}  // namespace

std::optional<int64_t> bitrateOf(const std::string& text) {
    // Ten digits at most, so that a long one is refused rather than overflowing.
    static const std::regex kRate(R"(([0-9]{1,10}(\.[0-9]{1,6})?)([kKM]?))");
    std::smatch parts;
    if (!std::regex_match(text, parts, kRate))
        return std::nullopt;
    const double scale = parts[3] == "M" ? 1e6 : parts[3].length() > 0 ? 1e3 : 1.0;
    const double rate = std::stod(parts[1]) * scale;
    if (!(rate >= kMinBitrate && rate <= kMaxBitrate))
        return std::nullopt;
    return static_cast<int64_t>(std::llround(rate));
}

std::string encoderSupport() {
    return camfx::nvenc::EncoderSupport();
}

CommandLine parseCommandLine(int argc, const char* const* argv, std::ostream& out,
                             std::ostream& err) {
    CommandLine result;
    Options& options = result.options;

    CLI::App app("Live camera viewer and recorder: keys 1-4 switch the effects, Space records.",
                 "camfx");
    app.set_version_flag("--version", [] {
        return std::string("camfx " CAMFX_VERSION "\nRecording: ") + encoderSupport();
    });
    app.get_formatter()->column_width(30);
    CLI::Option* camera = app.add_option("--camera", options.camera, "Camera index")
                              ->type_name("N")
                              ->check(kCameraIndex)
                              ->capture_default_str();
    CLI::Option* input =
        app.add_option("--input", options.input, "Video file shown as the camera, looped")
            ->type_name("FILE")
            ->check(kExistingFile);
    CLI::Option* testPattern = app.add_flag("--test-pattern", options.testPattern,
                                            "Built-in moving test pattern instead of a camera");
    app.add_option("--codec", options.codec,
                   "What the picture is encoded to: hevc (the default), h264 (plays "
                   "everywhere) or av1 (current browsers and players)")
        ->type_name("CODEC")
        ->transform(
            CLI::CheckedTransformer(std::map<std::string, VideoCodec>{{"hevc", VideoCodec::Hevc},
                                                                      {"h264", VideoCodec::H264},
                                                                      {"av1", VideoCodec::Av1}})
                .description(""));
    CLI::Option* output =
        app.add_option("--output", options.output,
                       "Recording, replaced at start: .mp4, .mov or .mkv keep each frame's time, "
                       "any other name is the raw stream (default: camera.hevc, camera.h264 or "
                       "camera.ivf by codec). A name with date fields (%Y-%m-%d %H-%M-%S) is a "
                       "new file each run, made at the first Space")
            ->type_name("FILE")
            ->check(kNotEmpty)
            ->transform(kUserFolder)
            ->check(kWritableOutput);
    CLI::Option* stream =
        app.add_option("--stream", options.stream,
                       "Also send every shown frame, H.264 or HEVC, to a media server: "
                       "srt://HOST:PORT[?OPTIONS] (MPEG-TS) or rtsp://HOST[:PORT]/PATH")
            ->type_name("URL")
            ->check(kStreamUrl);
    app.add_option("--bitrate", options.bitrate,
                   "Encode at this average rate, bits a second (4M, 2500k), which the recording "
                   "and the stream share (default: the encoder's preset)")
        ->type_name("RATE")
        ->transform(kBitrate);
    CLI::Option* audio =
        app.add_option("--audio", options.audio,
                       "Sound source to record, as `pactl list short sources` names it "
                       "(default: the sound server's default)")
            ->type_name("SOURCE")
            ->check(kNotEmpty);
    app.add_flag("--no-audio", options.noAudio, "Record and stream no sound")->excludes(audio);
    app.add_flag("--fullscreen", options.fullScreen,
                 "Start in full screen (F11 switches, Esc leaves it)");
    app.add_option("--snapshots", options.snapshots,
                   "Folder where S saves the shown picture as a PNG (default: the recording's)")
        ->type_name("FOLDER")
        ->check(kNotEmpty)
        ->transform(kUserFolder)
        ->check(kFolder);
    camera->excludes(input)->excludes(testPattern);
    input->excludes(testPattern);

    try {
        app.parse(argc, argv);
        if (output->count() == 0)
            options.output = defaultOutputName(options.codec);
        // Which codec goes where is known only once every option is read.
        if (std::string problem = outputCodecProblem(options.output, options.codec);
            !problem.empty())
            throw CLI::ValidationError("--output", problem);
        if (stream->count() > 0) {
            if (std::string problem = streamCodecProblem(options.codec); !problem.empty())
                throw CLI::ValidationError("--stream", problem);
        }
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {  // --help or --version
            app.exit(e, out, err);
            result.exitStatus = 0;
        } else {
            err << e.what() << "\n\n" << app.help();
            result.exitStatus = 2;
        }
    }
    return result;
}
