#include "hevc_check.h"

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "child_process.h"

namespace {

std::string run(const std::string& program, const std::vector<std::string>& arguments,
                const std::string& directory) {
    ChildProcess tool(program, arguments, directory);
    tool.waitForExit(std::chrono::seconds(120));
    return tool.standardOutput();
}

}  // namespace

StreamInfo probe(const std::string& path) {
    TempDir scratch;
    const std::string out =
        run("/usr/bin/ffprobe",
            {"-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
             "stream=codec_name,codec_tag_string,width,height,r_frame_rate,nb_read_frames", "-of",
             "default=noprint_wrappers=1", path},
            scratch.path());
    StreamInfo info;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "codec_name")
            info.codec = value;
        if (key == "codec_tag_string")
            info.tag = value;
        if (key == "width")
            info.width = std::stoi(value);
        if (key == "height")
            info.height = std::stoi(value);
        if (key == "r_frame_rate")
            info.frameRate = value;
        if (key == "nb_read_frames" && value != "N/A")
            info.frames = std::stoi(value);
    }
    return info;
}

std::vector<cv::Mat> decodeFrames(const std::string& path, int width, int height) {
    TempDir scratch;
    const std::string raw = scratch.path() + "/frames.nv12";
    run("/usr/bin/ffmpeg",
        // Each decoded picture once: a container's gaps must not be filled with repeats.
        {"-v", "error", "-i", path, "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt",
         "nv12", "-y", raw},
        scratch.path());
    const std::string bytes = readFile(raw);
    const size_t frameBytes = static_cast<size_t>(width) * height * 3 / 2;
    std::vector<cv::Mat> frames;
    for (size_t offset = 0; offset + frameBytes <= bytes.size(); offset += frameBytes) {
        cv::Mat frame(height * 3 / 2, width, CV_8UC1);
        std::copy(bytes.begin() + offset, bytes.begin() + offset + frameBytes, frame.data);
        frames.push_back(frame);
    }
    return frames;
}

std::string decodeErrors(const std::string& path) {
    TempDir scratch;
    // Frames at their own times, in the input's time base: two frames captured closer than
    // the nominal interval must not collide on the nominal rate's clock.
    ChildProcess ffmpeg("/usr/bin/ffmpeg",
                        {"-v", "error", "-i", path, "-vsync", "passthrough", "-enc_time_base", "-1",
                         "-f", "null", "-"},
                        scratch.path());
    if (ffmpeg.waitForExit(std::chrono::seconds(120)) != 0)
        return "ffmpeg failed: " + ffmpeg.standardError();
    return ffmpeg.standardError();
}

namespace {

// ffprobe's line for each packet of the picture, in decoding order: its time, or "N/A", and
// its flags (K for a key frame).
std::vector<std::pair<std::string, bool>> probePackets(const std::string& path) {
    TempDir scratch;
    const std::string out = run("/usr/bin/ffprobe",
                                {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                 "packet=pts_time,flags", "-of", "csv=p=0", path},
                                scratch.path());
    std::vector<std::pair<std::string, bool>> packets;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t comma = line.find(',');
        if (comma != std::string::npos)
            packets.emplace_back(line.substr(0, comma), line.find('K', comma) != std::string::npos);
    }
    return packets;
}

}  // namespace

std::vector<PacketTime> packetTimes(const std::string& path) {
    std::vector<PacketTime> packets;
    for (const auto& [time, key] : probePackets(path)) {
        if (time != "N/A")
            packets.push_back({std::stod(time), key});
    }
    std::sort(packets.begin(), packets.end(),
              [](const PacketTime& a, const PacketTime& b) { return a.time < b.time; });
    return packets;
}

std::vector<bool> packetKeys(const std::string& path) {
    std::vector<bool> keys;
    for (const auto& packet : probePackets(path))
        keys.push_back(packet.second);
    return keys;
}

double containerDuration(const std::string& path) {
    TempDir scratch;
    const std::string out = run("/usr/bin/ffprobe",
                                {"-v", "error", "-show_entries", "format=duration", "-of",
                                 "default=noprint_wrappers=1:nokey=1", path},
                                scratch.path());
    try {
        return std::stod(out);
    } catch (const std::exception&) {
        return -1.0;
    }
}

std::vector<std::string> topLevelBoxes(const std::string& path) {
    TempDir scratch;
    ChildProcess ffprobe("/usr/bin/ffprobe", {"-v", "trace", path}, scratch.path());
    ffprobe.waitForExit(std::chrono::seconds(120));
    const std::string trace = ffprobe.standardError();
    std::vector<std::string> boxes;
    const std::regex box(R"(type:'(\w{4})' parent:'root')");
    for (std::sregex_iterator it(trace.begin(), trace.end(), box), end; it != end; ++it)
        boxes.push_back((*it)[1]);
    return boxes;
}

std::vector<LoggedFrame> readFrameLog(const std::string& path) {
    std::vector<LoggedFrame> frames;
    std::ifstream in(path);
    LoggedFrame frame{};
    int recording = 0;
    while (in >> frame.n >> frame.time >> recording >> frame.writtenBefore >> frame.captureTime) {
        frame.recording = recording != 0;
        frames.push_back(frame);
    }
    return frames;
}
