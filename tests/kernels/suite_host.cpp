// The kernel suite's host flavor: the stand-in runs every launch, and its test surfaces
// stand for GL textures.
#include <cuda_host.h>

#include <cstring>

#include "kernel_suite.h"

namespace camfx::test {

bool kernelsCanRun() {
    return true;
}

TestSurface::TestSurface(int width, int height)
    : width_(width), height_(height), handle_(cudahost::createTestSurface(width, height)) {}

TestSurface::~TestSurface() {
    cudahost::destroyTestSurface(handle_);
}

void TestSurface::read() {
    texels_.assign(4 * static_cast<size_t>(width_) * height_, 0);
    cudahost::SurfaceView view;
    ASSERT_TRUE(cudahost::surfaceView(handle_, &view));
    for (int row = 0; row < height_; ++row)
        std::memcpy(&texels_[4 * static_cast<size_t>(row) * width_], view.data + row * view.pitch,
                    4 * static_cast<size_t>(width_));
}

}  // namespace camfx::test
