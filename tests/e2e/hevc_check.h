// Reads a recording with FFmpeg's own tools: what ffprobe says of its stream, and its frames
// decoded by ffmpeg.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

struct StreamInfo {
    std::string codec;
    std::string tag;  // the container's name for the codec, e.g. "hvc1" in an MP4
    int width = 0;
    int height = 0;
    std::string frameRate;  // as ffprobe gives it, e.g. "30/1"
    int frames = -1;        // counted by decoding
};

StreamInfo probe(const std::string& path);

// Every frame of the file as NV12: one 8-bit plane of height * 3 / 2 rows, luma rows first.
std::vector<cv::Mat> decodeFrames(const std::string& path, int width, int height);

// What FFmpeg's decoder complains of while decoding the whole file; empty for a clean stream.
std::string decodeErrors(const std::string& path);

// One packet as ffprobe reads it from a container: its presentation time and whether it is a
// key frame. In presentation order.
struct PacketTime {
    double time;
    bool key;
};
std::vector<PacketTime> packetTimes(const std::string& path);

// Whether each packet is a key frame, as ffprobe reads the file: in decoding order, for raw
// streams too.
std::vector<bool> packetKeys(const std::string& path);

// The container's duration in seconds as ffprobe gives it; negative when it gives none.
double containerDuration(const std::string& path);

// The top-level boxes of an MP4 file in their order, as FFmpeg's demuxer reports them.
std::vector<std::string> topLevelBoxes(const std::string& path);

struct LoggedFrame {
    uint64_t n;
    double time;
    bool recording;
    int writtenBefore;    // frames the ring had taken when this one was read
    int64_t captureTime;  // microseconds, the recording's clock
};
std::vector<LoggedFrame> readFrameLog(const std::string& path);
