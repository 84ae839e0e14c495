#include "recorded_frames.h"

#include <algorithm>

#include "frame.h"
#include "host_kernels.h"
#include "picture_match.h"

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

double psnrOf(const cv::Mat& decoded, const LoggedFrame& frame, uint8_t mask) {
    double best = cv::PSNR(decoded, expectedPicture(frame, mask));
    LoggedFrame earlier = frame;
    for (int step = 1; step <= 20 && best < 30.0 && (mask & 0x08); ++step) {
        earlier.time = frame.time - step * 0.0005;
        best = std::max(best, cv::PSNR(decoded, expectedPicture(earlier, mask)));
    }
    return best;
}

std::vector<LoggedFrame> framesWritten(const std::vector<LoggedFrame>& log, int finalWritten) {
    std::vector<LoggedFrame> written;
    for (size_t k = 0; k < log.size(); ++k) {
        const int after = k + 1 < log.size() ? log[k + 1].writtenBefore : finalWritten;
        if (after > log[k].writtenBefore)
            written.push_back(log[k]);
    }
    return written;
}
