// What a recording should hold, from the frame log of the viewer that made it: the frames the
// ring took, and how close a decoded picture is to what the encoder was given.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

#include "hevc_check.h"

// What the encoder was given for a frame: the processed pattern converted to NV12. Quality
// is measured there, since 4:2:0 alone costs saturated, swirled edges 10 dB or more.
cv::Mat expectedPicture(const LoggedFrame& frame, uint8_t mask);

// How close a decoded picture is to the frame's expected one, in dB. The viewer reads its
// clock for the swirl's phase just before the camera read that logs the frame's time, and the
// swirled picture is sensitive to it (a millisecond costs about 1.2 dB). Where a preempted
// main thread put milliseconds between the two reads, earlier phases, up to 10 ms back, are
// tried.
double psnrOf(const cv::Mat& decoded, const LoggedFrame& frame, uint8_t mask);

// The camera frames the ring took, in order: a frame was taken when the count of frames
// written grew before the next read, or by the end for the last one.
std::vector<LoggedFrame> framesWritten(const std::vector<LoggedFrame>& log, int finalWritten);
