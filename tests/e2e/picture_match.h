// What the window should show: the test pattern's frame n, processed by the host kernels.
// The frame number the viewer had reached is unknown to the test, so it is searched for.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

// The swirl's phase is unknown too; it is searched in steps of 0.02 radians. A pixel near a
// tile or ring edge may then take its neighbour's value, so a share of the pixels (here at
// most 3%) may differ.
constexpr double kSwirlMatchingShare = 0.97;

// The processed pattern of frame n for the effect bits 0-2 of `mask` (no swirl).
cv::Mat processedPattern(uint64_t n, uint8_t mask);

// Whether `shown` (blue-green-red, top row first) equals processedPattern(n, mask) exactly
// for some frame n.
bool matchesPattern(const cv::Mat& shown, uint8_t mask);

// Whether `shown` is the one-channel pattern (its blue channel) shown as gray, for some n.
bool matchesGrayPattern(const cv::Mat& shown);

struct SwirlMatch {
    uint64_t frame = 0;
    float time = 0.0f;
    double matchingShare = 0.0;
};

// The frame and swirl phase that explain `shown` best, with mask's bits 0-2 before the swirl.
SwirlMatch matchSwirledPattern(const cv::Mat& shown, uint8_t mask);

// The share of bytes of `shown` equal to `expected`.
double equalShare(const cv::Mat& shown, const cv::Mat& expected);
