#include "TestPatternCamera.h"

#include <vector>

namespace camfx {

TestPatternCamera::TestPatternCamera() : TestPatternCamera(Options{}) {}

TestPatternCamera::TestPatternCamera(const Options& options)
    : options_(options), pacer_(options.fps) {}

bool TestPatternCamera::isOpened() const {
    return opened_;
}

void TestPatternCamera::release() {
    opened_ = false;
    grabbed_ = false;
}

bool TestPatternCamera::grab() {
    grabbed_ = false;
    if (!opened_ || options_.failReads) {
        return false;
    }
    pacer_.wait();
    grabbed_ = true;
    return true;
}

bool TestPatternCamera::retrieve(cv::OutputArray image, int /*flag*/) {
    if (!grabbed_) {
        image.release();
        return false;
    }
    grabbed_ = false;
    image.create(options_.height, options_.width, CV_8UC(options_.channels));
    cv::Mat out = image.getMat();
    render(delivered_, options_.width, options_.height, options_.channels, out.data);
    ++delivered_;
    return true;
}

bool TestPatternCamera::read(cv::OutputArray image) {
    if (grab()) {
        return retrieve(image);
    }
    image.release();
    return false;
}

bool TestPatternCamera::set(int propId, double value) {
    switch (propId) {
        case cv::CAP_PROP_FRAME_WIDTH:
            return value == options_.width;
        case cv::CAP_PROP_FRAME_HEIGHT:
            return value == options_.height;
        case cv::CAP_PROP_FPS:
            return value == options_.fps;
        default:
            return false;
    }
}

double TestPatternCamera::get(int propId) const {
    switch (propId) {
        case cv::CAP_PROP_FRAME_WIDTH:
            return options_.width;
        case cv::CAP_PROP_FRAME_HEIGHT:
            return options_.height;
        case cv::CAP_PROP_FPS:
            return options_.fps;
        case cv::CAP_PROP_POS_FRAMES:
            return static_cast<double>(delivered_);
        case cv::CAP_PROP_FOURCC:  // packed blue-green-red, as V4L2 names it
            return options_.channels == 3 ? cv::VideoWriter::fourcc('B', 'G', 'R', '3') : 0.0;
        default:
            return 0.0;
    }
}

void TestPatternCamera::render(uint64_t n, int width, int height, int channels, uint8_t* pixels) {
    const auto blueShift = static_cast<unsigned>((2 * n) & 255);
    const auto greenShift = static_cast<unsigned>(n & 255);
    if (channels == 3 && width > 0) {
        // The camera read runs on the frame loop's thread: rows are copied from two
        // templates (one per checkerboard phase) with green merged in, not built pixel by
        // pixel.
        const size_t rowBytes = 3 * static_cast<size_t>(width);
        thread_local std::vector<uint8_t> templates, greenMask;
        templates.resize(2 * rowBytes);
        greenMask.assign(rowBytes, 0);
        for (int phase = 0; phase < 2; ++phase) {
            uint8_t* row = &templates[phase * rowBytes];
            for (int x = 0; x < width; ++x) {
                row[3 * x] = static_cast<uint8_t>((x + blueShift) & 255);
                row[3 * x + 1] = 0;
                row[3 * x + 2] = ((x / 64 + phase) & 1) != 0 ? 255 : 0;
                greenMask[3 * x + 1] = 0xff;
            }
        }
        // Plain pointers, so that the row loop vectorises.
        const uint8_t* __restrict mask = greenMask.data();
        for (int y = 0; y < height; ++y) {
            const uint8_t* __restrict from = &templates[((y / 64) & 1) * rowBytes];
            const auto green = static_cast<uint8_t>((y + greenShift) & 255);
            uint8_t* __restrict row = pixels + static_cast<size_t>(y) * rowBytes;
            for (size_t i = 0; i < rowBytes; ++i)
                row[i] = from[i] | (mask[i] & green);
        }
        return;
    }
    for (int y = 0; y < height; ++y) {
        uint8_t* row = pixels + static_cast<size_t>(y) * width * channels;
        const auto green = static_cast<uint8_t>((y + greenShift) & 255);
        for (int x = 0; x < width; ++x) {
            uint8_t* p = row + static_cast<size_t>(x) * channels;
            p[0] = static_cast<uint8_t>((x + blueShift) & 255);
            if (channels > 1)
                p[1] = green;
            if (channels > 2)
                p[2] = ((x / 64 + y / 64) & 1) != 0 ? 255 : 0;
            for (int c = 3; c < channels; ++c)
                p[c] = 255;
        }
    }
}

cv::Mat TestPatternCamera::frame(uint64_t n, int width, int height, int channels) {
    cv::Mat image(height, width, CV_8UC(channels));
    render(n, width, height, channels, image.data);
    return image;
}

}  // namespace camfx
