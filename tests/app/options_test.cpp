#include <gtest/gtest.h>
#include <x265.h>

#include <sstream>
#include <vector>

#include "options.h"

namespace {

struct Parsed {
    CommandLine commandLine;
    std::string out, err;
};

Parsed parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "camfx");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    std::ostringstream out, err;
    Parsed parsed;
    parsed.commandLine = parseCommandLine(static_cast<int>(argv.size()), argv.data(), out, err);
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

TEST(CommandLine, EachOptionHasItsDefaultAndSetsItsValue) {
    Parsed p = parse({});
    EXPECT_FALSE(p.commandLine.exitStatus);
    const Options defaults = p.commandLine.options;
    EXPECT_EQ(defaults.camera, 0);
    EXPECT_EQ(defaults.input, "");
    EXPECT_FALSE(defaults.testPattern);
    EXPECT_EQ(defaults.output, "camera.hevc");
    EXPECT_EQ(p.out + p.err, "");

    p = parse({"--camera", "3", "--output=/tmp/elsewhere.hevc"});
    EXPECT_EQ(p.commandLine.options.camera, 3);
    EXPECT_EQ(p.commandLine.options.output, "/tmp/elsewhere.hevc");
    p = parse({"--input", "/dev/null"});
    EXPECT_EQ(p.commandLine.options.input, "/dev/null");
    EXPECT_TRUE(parse({"--test-pattern"}).commandLine.options.testPattern);
    EXPECT_EQ(defaults.audio, "");
    EXPECT_FALSE(defaults.noAudio);
    EXPECT_EQ(parse({"--audio", "usb-mic.analog-stereo"}).commandLine.options.audio,
              "usb-mic.analog-stereo");
    EXPECT_TRUE(parse({"--no-audio"}).commandLine.options.noAudio);
    EXPECT_EQ(defaults.bitrate, 0) << "constant quality";
    EXPECT_EQ(parse({"--bitrate", "4M"}).commandLine.options.bitrate, 4'000'000);
}

TEST(CommandLine, ABitrateIsBitsASecondWithKOrMAndWithinItsRange) {
    EXPECT_EQ(bitrateOf("2500k"), 2'500'000);
    EXPECT_EQ(bitrateOf("2500K"), 2'500'000);
    EXPECT_EQ(bitrateOf("4000000"), 4'000'000);
    EXPECT_EQ(bitrateOf("1.5M"), 1'500'000);
    EXPECT_EQ(bitrateOf("100k"), kMinBitrate);
    EXPECT_EQ(bitrateOf("200M"), kMaxBitrate);
    for (const char* refused : {"", "M", "4 M", "4MB", "4m", "4G", "-4M", "1e6", "4..5M", ".5M",
                                "5.M", "99999", "200.001M", "0x100000", "four"})
        EXPECT_EQ(bitrateOf(refused), std::nullopt) << refused;
    EXPECT_EQ(bitrateOf(std::string(400, '9')), std::nullopt) << "too long for a number";
    const Parsed p = parse({"--bitrate", "4G"});
    EXPECT_EQ(p.commandLine.exitStatus, 2);
    EXPECT_NE(p.err.find("\"4G\" is no rate"), std::string::npos) << p.err;
}

TEST(CommandLine, RefusalsGiveTheUsageOnStandardErrorAndStatusTwo) {
    const std::vector<std::vector<std::string>> refused = {
        {"--bogus"},
        {"stray"},
        {"--camera"},
        {"--camera", "front"},
        {"--camera", "-1"},
        {"--camera", "1.5"},
        {"--input", "/no/such/clip.mp4"},
        {"--output", ""},
        {"--output", "/no/such/folder/clip.mp4"},
        {"--output", "clip.avi"},
        {"--output", "clip.webm"},
        {"--camera", "1", "--test-pattern"},
        {"--input", "/dev/null", "--test-pattern"},
        {"--camera", "1", "--input", "/dev/null"},
        {"--audio", ""},
        {"--audio", "mic", "--no-audio"},
        {"--bitrate", "fast"},
        {"--bitrate", "50k"},
        {"--bitrate"},
        {"--codec", "vp9"},
        {"--codec", "av1", "--output", "clip.hevc"},
        {"--codec", "h264", "--output", "clip.ivf"},
        {"--output", "clip.264"},
        {"--codec", "av1", "--stream", "srt://127.0.0.1:9000"},
    };
    for (const auto& arguments : refused) {
        const Parsed p = parse(arguments);
        const std::string label = ::testing::PrintToString(arguments);
        EXPECT_EQ(p.commandLine.exitStatus, 2) << label;
        EXPECT_EQ(p.out, "") << label;
        EXPECT_NE(p.err.find("Usage: camfx [OPTIONS]"), std::string::npos) << label << p.err;
        EXPECT_NE(p.err.find("--test-pattern"), std::string::npos) << label;
        EXPECT_NE(p.err.rfind("Usage", 0), 0u) << label << ": what was wrong comes first";
    }
}

TEST(CommandLine, OutputNamesAContainerWeWriteOrARawStream) {
    for (const char* name :
         {"clip.mp4", "clip.MOV", "clip.mkv", "camera.h265", "take.bin", "/tmp/no-extension"}) {
        const Parsed p = parse({"--output", name});
        EXPECT_FALSE(p.commandLine.exitStatus) << name << p.err;
        EXPECT_EQ(p.commandLine.options.output, name);
    }
    // The reason is one line, before the usage.
    const Parsed avi = parse({"--output", "clip.avi"});
    const std::string first = avi.err.substr(0, avi.err.find('\n'));
    EXPECT_NE(first.find("\".avi\" names a container"), std::string::npos) << avi.err;
    EXPECT_NE(first.find(".mp4, .mov or .mkv"), std::string::npos) << avi.err;
    const Parsed missing = parse({"--output", "/no/such/folder/clip.mkv"});
    EXPECT_NE(missing.err.substr(0, missing.err.find('\n'))
                  .find("the folder \"/no/such/folder\" does not exist"),
              std::string::npos)
        << missing.err;
}

// Which raw extension names which codec is the recording's own test; here, what the command
// line makes of it.
TEST(CommandLine, TheCodecChoosesTheDefaultNameAndMustMatchARawStreamsAndTheStream) {
    EXPECT_EQ(parse({}).commandLine.options.codec, VideoCodec::Hevc);
    const std::vector<std::pair<std::string, VideoCodec>> codecs = {
        {"hevc", VideoCodec::Hevc}, {"h264", VideoCodec::H264}, {"av1", VideoCodec::Av1}};
    for (const auto& [name, codec] : codecs) {
        const Parsed p = parse({"--codec", name});
        EXPECT_FALSE(p.commandLine.exitStatus) << p.err;
        EXPECT_EQ(p.commandLine.options.codec, codec);
        EXPECT_EQ(p.commandLine.options.output, defaultOutputName(codec));
        for (const char* container : {"clip.mp4", "clip.mkv"})
            EXPECT_EQ(parse({"--codec", name, "--output", container}).commandLine.options.output,
                      container);
    }
    EXPECT_EQ(
        parse({"--codec", "h264", "--stream", "srt://127.0.0.1:9000"}).commandLine.options.stream,
        "srt://127.0.0.1:9000");
    const Parsed av1 = parse({"--codec", "av1", "--stream", "rtsp://127.0.0.1/live"});
    EXPECT_EQ(av1.err.rfind("--stream: AV1 cannot be streamed", 0), 0u) << av1.err;
}

TEST(CommandLine, HelpAndVersionGoToStandardOutput) {
    Parsed p = parse({"--help"});
    EXPECT_EQ(p.commandLine.exitStatus, 0);
    EXPECT_EQ(p.err, "");
    for (const char* option : {"--camera", "--input", "--test-pattern", "--output", "--version"})
        EXPECT_NE(p.out.find(option), std::string::npos) << option;
    EXPECT_NE(p.out.find("camera.hevc"), std::string::npos) << "the default is shown";

    p = parse({"--version"});
    EXPECT_EQ(p.commandLine.exitStatus, 0);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out.rfind("camfx ", 0), 0u) << p.out;
    EXPECT_NE(p.out.find("HEVC with libx265 " + std::string(x265_version_str)), std::string::npos)
        << p.out;
    for (const char* codec : {"H.264 with libx264 ", "AV1 with SVT-AV1 "})
        EXPECT_NE(p.out.find(codec), std::string::npos) << p.out;
    EXPECT_NE(p.out.find(encoderSupport()), std::string::npos);
}

}  // namespace
