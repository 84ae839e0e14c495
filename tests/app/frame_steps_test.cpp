// The host-side frame steps: every camera frame becomes exactly one valid 1280x720 BGR frame,
// and the effect chain runs the enabled effects in their fixed order, swapping buffers.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "frame.h"
#include "host_kernels.h"
#include "pipeline_state.h"
#include "viewer.h"

namespace {

std::vector<uint8_t> randomFrame(unsigned seed) {
    std::vector<uint8_t> frame(FRAME_BYTES);
    std::mt19937 generator(seed);
    for (uint8_t& byte : frame)
        byte = static_cast<uint8_t>(generator());
    return frame;
}

class EffectChain : public ::testing::Test {
  protected:
    void SetUp() override {
        LaunchGeometry = {dim3(80, 45, 1), dim3(16, 16, 1)};
        cudaMalloc(reinterpret_cast<void**>(&bufferA), FRAME_BYTES);
        cudaMalloc(reinterpret_cast<void**>(&bufferB), FRAME_BYTES);
        input = randomFrame(7);
        cudaMemcpy(bufferA, input.data(), FRAME_BYTES, cudaMemcpyHostToDevice);
        cudaStreamCreate(&stream);
    }
    void TearDown() override {
        effectMask = 0xFF;
        cudaFree(bufferA);
        cudaFree(bufferB);
        cudaStreamDestroy(stream);
    }
    // Runs the chain with `mask` on the input and returns what currentFrame names after it.
    std::vector<uint8_t> run(uint8_t mask, float time = 0.0f) {
        effectMask = mask;
        current = bufferA;
        next = bufferB;
        runEffectChain(current, next, stream, time);
        return std::vector<uint8_t>(current, current + FRAME_BYTES);
    }

    // Reference steps, from the host implementations.
    static std::vector<uint8_t> mosaic(const std::vector<uint8_t>& in) {
        std::vector<uint8_t> out(FRAME_BYTES);
        camfx::hostMosaic(in.data(), out.data(), FRAME_WIDTH, FRAME_HEIGHT, 8);
        return out;
    }
    static std::vector<uint8_t> negative(const std::vector<uint8_t>& in) {
        std::vector<uint8_t> out(FRAME_BYTES);
        camfx::hostNegative(in.data(), out.data(), FRAME_WIDTH, FRAME_WIDTH, FRAME_HEIGHT);
        return out;
    }
    static std::vector<uint8_t> mirror(const std::vector<uint8_t>& in) {
        std::vector<uint8_t> out(FRAME_BYTES);
        camfx::hostMirrorX(in.data(), out.data(), FRAME_WIDTH, FRAME_WIDTH, FRAME_HEIGHT);
        return out;
    }
    static std::vector<uint8_t> spiral(const std::vector<uint8_t>& in, float time) {
        std::vector<uint8_t> out(FRAME_BYTES);
        camfx::hostSpiral(in.data(), out.data(), FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH,
                          FRAME_HEIGHT, 640.0f, 360.0f, time);
        return out;
    }

    uint8_t* bufferA = nullptr;
    uint8_t* bufferB = nullptr;
    uint8_t* current = nullptr;
    uint8_t* next = nullptr;
    cudaStream_t stream = nullptr;
    std::vector<uint8_t> input;
};

TEST_F(EffectChain, NoEffectBitLeavesTheUploadedFrameInPlace) {
    for (uint8_t mask : {0x00, 0xF0, 0x10, 0x80}) {
        EXPECT_EQ(run(mask), input) << "mask " << int(mask);
        EXPECT_EQ(current, bufferA);
        EXPECT_EQ(next, bufferB);
    }
}

TEST_F(EffectChain, AllFourRunInFixedOrderAndEndInTheStartingBuffer) {
    const float time = 1.25f;
    const std::vector<uint8_t> expected = spiral(mirror(negative(mosaic(input))), time);
    EXPECT_EQ(run(0xFF, time), expected);
    EXPECT_EQ(current, bufferA) << "four swaps bring the roles back";
    // The order matters: negative before mosaic rounds the other way.
    EXPECT_NE(spiral(mirror(mosaic(negative(input))), time), expected);
}

TEST_F(EffectChain, OddNumberOfEffectsSwapsTheRoles) {
    EXPECT_EQ(run(0x02), negative(input));
    EXPECT_EQ(current, bufferB);
    EXPECT_EQ(next, bufferA);

    EXPECT_EQ(run(0x07), mirror(negative(mosaic(input))));
    EXPECT_EQ(current, bufferB);
}

TEST_F(EffectChain, EachBitSelectsItsOwnEffect) {
    EXPECT_EQ(run(0x01), mosaic(input));
    EXPECT_EQ(run(0x04), mirror(input));
    EXPECT_EQ(run(0x08, 3.0f), spiral(input, 3.0f));
}

TEST_F(EffectChain, RefusedDefaultGeometrySkipsTheKernelButStillSwaps) {
    LaunchGeometry = {dim3(80, 45, 1), dim3(32, 33, 1)};  // 1056 threads a block
    std::vector<uint8_t> untouched(FRAME_BYTES, 0xAB);
    cudaMemcpy(bufferB, untouched.data(), FRAME_BYTES, cudaMemcpyHostToDevice);
    EXPECT_EQ(run(0x02), untouched);
    EXPECT_EQ(current, bufferB);
    cudaGetLastError();
}

TEST(CameraFrame, FullSizeContinuousFrameIsUploadedAsItIs) {
    cv::Mat frame(FRAME_HEIGHT, FRAME_WIDTH, CV_8UC3, cv::Scalar(1, 2, 3));
    cv::Mat converted;
    EXPECT_EQ(prepareCameraFrame(frame, converted), frame.data);
}

TEST(CameraFrame, OtherSizesAreScaledToTheFrameSize) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(10, 20, 30));
    cv::Mat converted;
    const uint8_t* pixels = prepareCameraFrame(frame, converted);
    ASSERT_NE(pixels, nullptr);
    ASSERT_EQ(converted.cols, FRAME_WIDTH);
    ASSERT_EQ(converted.rows, FRAME_HEIGHT);
    ASSERT_EQ(converted.type(), CV_8UC3);
    EXPECT_EQ(pixels, converted.data);
    const size_t last = FRAME_BYTES - 3;
    EXPECT_EQ(pixels[0], 10);
    EXPECT_EQ(pixels[last + 1], 20);
    EXPECT_EQ(pixels[last + 2], 30);
}

TEST(CameraFrame, OneAndFourChannelFramesBecomeBlueGreenRed) {
    cv::Mat converted;
    cv::Mat gray(FRAME_HEIGHT, FRAME_WIDTH, CV_8UC1, cv::Scalar(77));
    const uint8_t* pixels = prepareCameraFrame(gray, converted);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(converted.type(), CV_8UC3);
    EXPECT_EQ(pixels[0], 77);
    EXPECT_EQ(pixels[FRAME_BYTES - 1], 77);

    cv::Mat bgra(FRAME_HEIGHT, FRAME_WIDTH, CV_8UC4, cv::Scalar(5, 6, 7, 200));
    pixels = prepareCameraFrame(bgra, converted);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(converted.type(), CV_8UC3);
    EXPECT_EQ(pixels[3], 5);
    EXPECT_EQ(pixels[4], 6);
    EXPECT_EQ(pixels[5], 7);
}

TEST(CameraFrame, RowsWithPaddingArePackedWithoutGaps) {
    cv::Mat wide(FRAME_HEIGHT, FRAME_WIDTH + 16, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::Mat view = wide(cv::Rect(16, 0, FRAME_WIDTH, FRAME_HEIGHT));
    view.row(1).setTo(cv::Scalar(9, 9, 9));
    cv::Mat converted;
    const uint8_t* pixels = prepareCameraFrame(view, converted);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels[3 * FRAME_WIDTH - 1], 0);
    EXPECT_EQ(pixels[3 * FRAME_WIDTH], 9);
    EXPECT_EQ(pixels[6 * FRAME_WIDTH - 1], 9);
    EXPECT_EQ(pixels[6 * FRAME_WIDTH], 0);
}

TEST(CameraFrame, FailedOrEmptyReadGivesNothingToUpload) {
    cv::Mat empty;
    cv::Mat converted;
    EXPECT_EQ(prepareCameraFrame(empty, converted), nullptr);
}

}  // namespace
