// The kernel suite runs against each flavor's implementation: the host launch functions
// over the stand-in's device memory, or the device code on a GPU. Frames go up into device
// buffers, the launch runs on stream 0, and the results come back for the checks.
#pragma once

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frames.h"

namespace camfx::test {

// The frame loop's geometry, 16 x 16 blocks over a 1280 x 720 frame.
const dim3 kGrid(80, 45);
const dim3 kBlock(16, 16);

// Enough 16 x 16 blocks to cover a frame of any size.
inline dim3 gridFor(int width, int height) {
    return dim3((width + 15) / 16, (height + 15) / 16);
}

// Whether this flavor has somewhere to run its kernels (a GPU in the CUDA flavor).
bool kernelsCanRun();

class DeviceBuffer {
  public:
    // No allocation for no bytes, so that no runtime can leave an error behind for it.
    explicit DeviceBuffer(size_t bytes) {
        if (bytes > 0 && cudaMalloc(&data_, bytes) != cudaSuccess)
            data_ = nullptr;
    }
    ~DeviceBuffer() { cudaFree(data_); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    uint8_t* get() const { return static_cast<uint8_t*>(data_); }

  private:
    void* data_ = nullptr;
};

// A zero-filled surface of 4-byte texels, as a mapped GL texture gives one.
class TestSurface {
  public:
    TestSurface(int width, int height);
    ~TestSurface();
    TestSurface(const TestSurface&) = delete;
    TestSurface& operator=(const TestSurface&) = delete;

    cudaSurfaceObject_t handle() const { return handle_; }
    // Reads the texels back; at() then gives texel (column, row) of that copy, and texels()
    // all of them, row after row.
    void read();
    const std::vector<uint8_t>& texels() const { return texels_; }
    const uint8_t* at(int column, int row) const {
        return &texels_[4 * (static_cast<size_t>(row) * width_ + column)];
    }

  private:
    int width_, height_;
    cudaSurfaceObject_t handle_ = 0;
    void* array_ = nullptr;
    std::vector<uint8_t> texels_;
};

// Uploads src, fills a destination of dstBytes (none for a blit) with `fill`, runs
// launch(src, dst) and returns the destination.
template <typename Launch>
Frame run(const Frame& src, size_t dstBytes, uint8_t fill, Launch launch) {
    DeviceBuffer in(src.size()), out(dstBytes);
    Frame result(dstBytes);
    if (in.get() == nullptr || (dstBytes > 0 && out.get() == nullptr)) {
        ADD_FAILURE() << "cudaMalloc failed";
        return result;
    }
    EXPECT_EQ(cudaMemcpy(in.get(), src.data(), src.size(), cudaMemcpyHostToDevice), cudaSuccess);
    if (dstBytes > 0)
        EXPECT_EQ(cudaMemset(out.get(), fill, dstBytes), cudaSuccess);
    launch(static_cast<const uint8_t*>(in.get()), out.get());
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    if (dstBytes > 0)
        EXPECT_EQ(cudaMemcpy(result.data(), out.get(), dstBytes, cudaMemcpyDeviceToHost),
                  cudaSuccess);
    return result;
}
template <typename Launch>
Frame run(const Frame& src, Launch launch) {
    return run(src, src.size(), 0, launch);
}

class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!kernelsCanRun())
            GTEST_SKIP() << "no CUDA device";
        cudaGetLastError();
    }
    void TearDown() override {
        if (!IsSkipped())
            EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
};

}  // namespace camfx::test
