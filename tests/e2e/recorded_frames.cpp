#include "recorded_frames.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "frame.h"
#include "host_kernels.h"
#include "picture_match.h"

#include <opencv2/core.hpp>

namespace {

// What the encoder was given for a frame: the processed pattern converted to NV12. Quality
// is measured there, since 4:2:0 alone costs saturated, swirled edges 10 dB or more.
cv::Mat expectedPicture(const LoggedFrame& frame, uint8_t mask) {
    cv::Mat picture = processedPattern(frame.n, mask & 0x07);
    if (mask & 0x08) {
        // The swirl's phase is ten times the viewer's clock at that frame.
        cv::Mat swirled(picture.size(), picture.type());
        camfx::hostSpiral(picture.data, swirled.data, FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH,
                          FRAME_HEIGHT, 640.0f, 360.0f, static_cast<float>(frame.time * 10.0));
        picture = swirled;
    }
    cv::Mat nv12(FRAME_HEIGHT * 3 / 2, FRAME_WIDTH, CV_8UC1);
    camfx::hostRGB2NV12(picture.data, nv12.data, FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH,
                        FRAME_HEIGHT);
    return nv12;
}

// How close a decoded picture is to the frame's expected one, in dB. The viewer reads its
// clock for the swirl's phase just before the camera read that logs the frame's time, and the
// swirled picture is sensitive to it (a millisecond costs about 1.2 dB). Where a preempted
// main thread put milliseconds between the two reads, earlier phases, up to 10 ms back, are
// tried.
double psnrOf(const cv::Mat& decoded, const LoggedFrame& frame, uint8_t mask) {
    double best = cv::PSNR(decoded, expectedPicture(frame, mask));
    LoggedFrame earlier = frame;
    for (int step = 1; step <= 20 && best < 30.0 && (mask & 0x08); ++step) {
        earlier.time = frame.time - step * 0.0005;
        best = std::max(best, cv::PSNR(decoded, expectedPicture(earlier, mask)));
    }
    return best;
}

// The camera frames the ring took, in order: a frame was taken when the count of frames
// written grew before the next read, or by the end for the last one.
std::vector<LoggedFrame> framesWritten(const std::vector<LoggedFrame>& log, int finalWritten) {
    std::vector<LoggedFrame> written;
    for (size_t k = 0; k < log.size(); ++k) {
        const int after = k + 1 < log.size() ? log[k + 1].writtenBefore : finalWritten;
        if (after > log[k].writtenBefore)
            written.push_back(log[k]);
    }
    return written;
}

}  // namespace

void expectPicturesShown(const std::string& path, int encoded, const std::string& frameLog,
                         int finalWritten, uint8_t mask) {
    const std::vector<cv::Mat> decoded = decodeFrames(path, FRAME_WIDTH, FRAME_HEIGHT);
    ASSERT_EQ(static_cast<int>(decoded.size()), encoded);
    const std::vector<LoggedFrame> written = framesWritten(readFrameLog(frameLog), finalWritten);
    ASSERT_GE(written.size(), decoded.size());
    for (size_t i = 0; i < decoded.size(); ++i)
        EXPECT_GE(psnrOf(decoded[i], written[i], mask), 30.0)
            << "decoded frame " << i << ", camera frame " << written[i].n;
}
