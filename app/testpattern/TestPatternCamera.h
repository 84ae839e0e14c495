// A camera that needs no hardware: a cv::VideoCapture that delivers a moving test pattern,
// for tests, benchmarks and the demo viewer. Pixel (x, y) of frame n (n = 0, 1, 2, ...) is
// blue (x + 2n) mod 256, green (y + n) mod 256, red 255 on the odd squares of a 64-pixel
// checkerboard and 0 on the even ones.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdint>

#include "FramePacer.h"

namespace camfx {

class TestPatternCamera : public cv::VideoCapture {
  public:
    struct Options {
        double fps = 0.0;  // frames a second; 0 delivers each frame as soon as it is asked for
        int width = 1280;
        int height = 720;
        int channels = 3;  // 3: blue-green-red; 1: blue alone; 2: blue, green; 4: with alpha 255
        bool failReads = false;  // every read fails and delivers an empty frame
    };

    TestPatternCamera();
    explicit TestPatternCamera(const Options& options);

    bool isOpened() const override;
    void release() override;
    bool grab() override;
    bool retrieve(cv::OutputArray image, int flag = 0) override;
    bool read(cv::OutputArray image) override;
    // The pattern has one mode: setting a size or rate succeeds only for the current one.
    bool set(int propId, double value) override;
    double get(int propId) const override;

    // Frames delivered so far; the next frame delivered is frame framesDelivered().
    uint64_t framesDelivered() const { return delivered_; }
    // Later reads fail (true) or deliver frames again (false).
    void setFailReads(bool fail) { options_.failReads = fail; }

    // Frame n of the pattern into `pixels`: height rows of width * channels bytes, no gaps.
    static void render(uint64_t n, int width, int height, int channels, uint8_t* pixels);
    static cv::Mat frame(uint64_t n, int width = 1280, int height = 720, int channels = 3);

  private:
    Options options_;
    bool opened_ = true;
    bool grabbed_ = false;
    uint64_t delivered_ = 0;
    FramePacer pacer_;
};

}  // namespace camfx
