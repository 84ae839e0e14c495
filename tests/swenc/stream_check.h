// Test support for the software encoder: the test-pattern picture in NV12, and FFmpeg's
// own tools to read back what the encoder wrote.
#pragma once

#include <cuda.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host_copy.h"

namespace swenc_test {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr size_t kNv12Bytes = size_t(kWidth) * kHeight * 3 / 2;

// Frame n of the test pattern, converted to NV12 with the BT.601 limited-range integer
// formulas, chroma taken from the top-left pixel of each 2x2 block.
inline std::vector<uint8_t> PatternNv12(int n, int width = kWidth, int height = kHeight) {
    std::vector<uint8_t> out(size_t(width) * height * 3 / 2);
    auto bgr = [n](int x, int y, int* r, int* g, int* b) {
        *b = (x + 2 * n) % 256;
        *g = (y + n) % 256;
        *r = ((x / 64 + y / 64) % 2) ? 255 : 0;
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int r, g, b;
            bgr(x, y, &r, &g, &b);
            out[size_t(y) * width + x] = uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
        }
    }
    uint8_t* uv = out.data() + size_t(width) * height;
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            int r, g, b;
            bgr(2 * x, 2 * y, &r, &g, &b);
            uv[size_t(y) * width + 2 * x] =
                uint8_t(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
            uv[size_t(y) * width + 2 * x + 1] =
                uint8_t(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
        }
    }
    return out;
}

// PSNR over all samples of two equally sized 8-bit pictures; 99 when identical.
inline double Psnr(const uint8_t* a, const uint8_t* b, size_t bytes) {
    double sum = 0.0;
    for (size_t i = 0; i < bytes; ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    if (sum == 0.0) {
        return 99.0;
    }
    return 10.0 * std::log10(255.0 * 255.0 * double(bytes) / sum);
}

inline std::string Run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return output;
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, got);
    }
    pclose(pipe);
    return output;
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A raw elementary stream's FFmpeg format ("h264", "hevc", "obu": AV1 as low-overhead OBUs)
// and the codec_name ffprobe gives it.
struct StreamFormat {
    const char* format;
    const char* codecName;
};
constexpr StreamFormat kHevcStream = {"hevc", "hevc"};

// What ffprobe says about the first video stream of a raw file, as "key=value" lines
// (codec_name, profile, width, height, r_frame_rate, nb_read_frames).
inline std::string Probe(const std::string& path, StreamFormat format = kHevcStream) {
    return Run(std::string("ffprobe -v error -f ") + format.format +
               " -count_frames -select_streams v:0 -show_entries "
               "stream=codec_name,profile,width,height,r_frame_rate,nb_read_frames "
               "-of default=noprint_wrappers=1 '" +
               path + "' 2>&1");
}

// Every frame FFmpeg's decoder reads from a raw file, as NV12, concatenated.
inline std::vector<uint8_t> DecodeNv12(const std::string& hevcPath, const std::string& rawPath,
                                       StreamFormat format = kHevcStream) {
    Run(std::string("ffmpeg -v error -y -f ") + format.format + " -i '" + hevcPath +
        "' -f rawvideo -pix_fmt nv12 '" + rawPath + "' 2>&1");
    return ReadFile(rawPath);
}

inline std::string TempPath(const std::string& name) {
    return "/tmp/camfx_swenc_" + std::to_string(::getpid()) + "_" + name;
}

// A context on device 0, current on this thread.
inline void CreateContext(CUcontext* context) {
    ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
    CUdevice device;
    ASSERT_EQ(cuDeviceGet(&device, 0), CUDA_SUCCESS);
    ASSERT_EQ(cuCtxCreate(context, nullptr, 0, device), CUDA_SUCCESS);
}

// Copies a tightly packed host NV12 picture into a device buffer of the given pitch.
inline void UploadNv12(CUdeviceptr buffer, size_t pitch, const std::vector<uint8_t>& nv12) {
    const CUDA_MEMCPY2D copy =
        HostToDevice(nv12.data(), kWidth, buffer, pitch, kWidth, kHeight * 3 / 2);
    ASSERT_EQ(cuMemcpy2D(&copy), CUDA_SUCCESS);
}

inline bool StartsWithVps(const std::vector<uint8_t>& packet) {
    // Annex B start code, then a NAL header of type 32 (VPS).
    return packet.size() > 5 && packet[0] == 0 && packet[1] == 0 && packet[2] == 0 &&
           packet[3] == 1 && (packet[4] >> 1) == 32;
}

// The NAL unit types of an Annex B stream, in order.
inline std::vector<int> NalTypes(const std::vector<uint8_t>& packet, bool hevc) {
    std::vector<int> types;
    for (size_t i = 0; i + 3 < packet.size(); ++i) {
        if (packet[i] == 0 && packet[i + 1] == 0 && packet[i + 2] == 1) {
            types.push_back(hevc ? (packet[i + 3] >> 1) & 0x3f : packet[i + 3] & 0x1f);
            i += 2;
        }
    }
    return types;
}

// The OBU types of a low-overhead AV1 temporal unit, in order; -1 ends a malformed one.
inline std::vector<int> ObuTypes(const std::vector<uint8_t>& unit) {
    std::vector<int> types;
    size_t i = 0;
    while (i < unit.size()) {
        const uint8_t header = unit[i++];
        const bool extension = header & 4;
        const bool hasSize = header & 2;
        if (!hasSize) {
            types.push_back(-1);
            break;
        }
        i += extension ? 1 : 0;
        uint64_t size = 0;
        for (int shift = 0; i < unit.size(); shift += 7) {
            const uint8_t byte = unit[i++];
            size |= uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80)) {
                break;
            }
        }
        if (i + size > unit.size()) {
            types.push_back(-1);
            break;
        }
        types.push_back((header >> 3) & 0xf);
        i += size;
    }
    return types;
}

inline void Append(std::vector<uint8_t>* stream, const std::vector<uint8_t>& packet) {
    stream->insert(stream->end(), packet.begin(), packet.end());
}

// Decodes a raw stream and checks it holds `count` pictures matching pattern frames
// 0, 1, ... in that order. Returns what ffprobe said, for further checks.
inline std::string ExpectPatternStream(const std::vector<uint8_t>& stream, int count,
                                       const std::string& name, StreamFormat format = kHevcStream) {
    const std::string hevc = TempPath(name + "." + format.format);
    const std::string raw = TempPath(name + ".nv12");
    WriteFile(hevc, stream);
    const std::string probe = Probe(hevc, format);
    EXPECT_NE(probe.find(std::string("codec_name=") + format.codecName + "\n"), std::string::npos)
        << probe;
    EXPECT_NE(probe.find("nb_read_frames=" + std::to_string(count) + "\n"), std::string::npos)
        << probe;
    const std::vector<uint8_t> decoded = DecodeNv12(hevc, raw, format);
    std::remove(hevc.c_str());
    std::remove(raw.c_str());
    EXPECT_EQ(decoded.size(), kNv12Bytes * count);
    for (int k = 0; k < count && decoded.size() == kNv12Bytes * count; ++k) {
        const uint8_t* frame = decoded.data() + kNv12Bytes * k;
        const double own = Psnr(frame, PatternNv12(k).data(), kNv12Bytes);
        EXPECT_GE(own, 30.0) << "frame " << k;
        // In order: each decoded frame is closer to its own source than to the next.
        EXPECT_GT(own, Psnr(frame, PatternNv12(k + 1).data(), kNv12Bytes))
            << "frame " << k << " out of order";
    }
    return probe;
}

}  // namespace swenc_test
