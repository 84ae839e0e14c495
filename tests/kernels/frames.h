// Frames for the kernel tests: packed blue-green-red bytes, rows without gaps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace camfx::test {

using Frame = std::vector<uint8_t>;

inline size_t frameBytes(int width, int height) {
    return 3 * static_cast<size_t>(width) * static_cast<size_t>(height);
}

inline Frame randomFrame(int width, int height, uint32_t seed) {
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Frame frame(frameBytes(width, height));
    for (uint8_t& b : frame)
        b = static_cast<uint8_t>(byte(engine));
    return frame;
}

inline Frame uniformFrame(int width, int height, uint8_t blue, uint8_t green, uint8_t red) {
    Frame frame(frameBytes(width, height));
    for (size_t i = 0; i < frame.size(); i += 3) {
        frame[i] = blue;
        frame[i + 1] = green;
        frame[i + 2] = red;
    }
    return frame;
}

// Every pixel names its own coordinates: blue and green hold the low bytes of x and y,
// red their high nibbles. Decodes for frames up to 4096 x 4096.
inline Frame coordinateFrame(int width, int height) {
    Frame frame(frameBytes(width, height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &frame[3 * (static_cast<size_t>(y) * width + x)];
            p[0] = static_cast<uint8_t>(x & 255);
            p[1] = static_cast<uint8_t>(y & 255);
            p[2] = static_cast<uint8_t>((x >> 8) | ((y >> 8) << 4));
        }
    }
    return frame;
}

struct Coordinates {
    int x;
    int y;
};

inline Coordinates decodeCoordinates(const uint8_t* p) {
    return {p[0] | ((p[2] & 15) << 8), p[1] | ((p[2] >> 4) << 8)};
}

inline const uint8_t* pixel(const Frame& frame, int width, int x, int y) {
    return &frame[3 * (static_cast<size_t>(y) * width + x)];
}

}  // namespace camfx::test
