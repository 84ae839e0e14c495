#include "picture_match.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "TestPatternCamera.h"
#include "frame.h"
#include "host_kernels.h"

namespace {

// The pattern repeats every 256 frames: green is (y + n) mod 256.
constexpr uint64_t kPatternPeriod = 256;

void applyEffects(std::vector<uint8_t>& frame, uint8_t mask) {
    std::vector<uint8_t> scratch(FRAME_BYTES);
    if (mask & 0x01) {
        camfx::hostMosaic(frame.data(), scratch.data(), FRAME_WIDTH, FRAME_HEIGHT, 8);
        frame.swap(scratch);
    }
    if (mask & 0x02) {
        camfx::hostNegative(frame.data(), scratch.data(), FRAME_WIDTH, FRAME_WIDTH, FRAME_HEIGHT);
        frame.swap(scratch);
    }
    if (mask & 0x04) {
        camfx::hostMirrorX(frame.data(), scratch.data(), FRAME_WIDTH, FRAME_WIDTH, FRAME_HEIGHT);
        frame.swap(scratch);
    }
}

std::vector<uint8_t> processed(uint64_t n, uint8_t mask) {
    std::vector<uint8_t> frame(FRAME_BYTES);
    camfx::TestPatternCamera::render(n, FRAME_WIDTH, FRAME_HEIGHT, 3, frame.data());
    applyEffects(frame, mask);
    return frame;
}

bool sameSize(const cv::Mat& shown) {
    return shown.cols == FRAME_WIDTH && shown.rows == FRAME_HEIGHT && shown.type() == CV_8UC3 &&
           shown.isContinuous();
}

}  // namespace

cv::Mat processedPattern(uint64_t n, uint8_t mask) {
    std::vector<uint8_t> frame = processed(n, mask);
    return cv::Mat(FRAME_HEIGHT, FRAME_WIDTH, CV_8UC3, frame.data()).clone();
}

double equalShare(const cv::Mat& shown, const cv::Mat& expected) {
    if (shown.size() != expected.size() || shown.type() != expected.type())
        return 0.0;
    const size_t bytes = shown.total() * shown.elemSize();
    size_t equal = 0;
    for (size_t i = 0; i < bytes; ++i)
        equal += shown.data[i] == expected.data[i];
    return static_cast<double>(equal) / static_cast<double>(bytes);
}

bool matchesPattern(const cv::Mat& shown, uint8_t mask) {
    if (!sameSize(shown))
        return false;
    for (uint64_t n = 0; n < kPatternPeriod; ++n) {
        const std::vector<uint8_t> expected = processed(n, mask);
        if (std::memcmp(expected.data(), shown.data, 3 * FRAME_WIDTH) == 0 &&
            std::memcmp(expected.data(), shown.data, FRAME_BYTES) == 0)
            return true;
    }
    return false;
}

bool matchesGrayPattern(const cv::Mat& shown) {
    if (!sameSize(shown))
        return false;
    std::vector<uint8_t> blue(static_cast<size_t>(FRAME_WIDTH) * FRAME_HEIGHT);
    for (uint64_t n = 0; n < kPatternPeriod; ++n) {
        camfx::TestPatternCamera::render(n, FRAME_WIDTH, FRAME_HEIGHT, 1, blue.data());
        bool equal = true;
        for (size_t i = 0; i < blue.size() && equal; ++i)
            equal = shown.data[3 * i] == blue[i] && shown.data[3 * i + 1] == blue[i] &&
                    shown.data[3 * i + 2] == blue[i];
        if (equal)
            return true;
    }
    return false;
}

SwirlMatch matchSwirledPattern(const cv::Mat& shown, uint8_t mask) {
    SwirlMatch best;
    if (!sameSize(shown))
        return best;
    // Near the centre the swirl moves pixels by less than half a pixel, so the centre alone
    // tells the frame.
    constexpr int kRadius = 3;
    int bestCentre = -1;
    for (uint64_t n = 0; n < kPatternPeriod; ++n) {
        const std::vector<uint8_t> expected = processed(n, mask);
        int equal = 0;
        for (int y = 360 - kRadius; y <= 360 + kRadius; ++y)
            for (int x = 640 - kRadius; x <= 640 + kRadius; ++x)
                for (int c = 0; c < 3; ++c) {
                    const size_t i = 3 * (static_cast<size_t>(y) * FRAME_WIDTH + x) + c;
                    equal += expected[i] == shown.data[i];
                }
        if (equal > bestCentre)
            bestCentre = equal, best.frame = n;
    }

    const std::vector<uint8_t> unswirled = processed(best.frame, mask);
    cv::Mat swirled(FRAME_HEIGHT, FRAME_WIDTH, CV_8UC3);
    constexpr float kTwoPi = 6.2831853f;
    for (float time = 0.0f; time < kTwoPi; time += 0.02f) {
        camfx::hostSpiral(unswirled.data(), swirled.data, FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH,
                          FRAME_HEIGHT, 640.0f, 360.0f, time);
        const double share = equalShare(shown, swirled);
        if (share > best.matchingShare)
            best.matchingShare = share, best.time = time;
    }
    return best;
}
