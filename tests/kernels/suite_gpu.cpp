// The kernel suite's CUDA flavor: the device code on the GPU, surfaces over CUDA arrays.
// Without a device every test reports itself skipped.
#include "kernel_suite.h"

namespace camfx::test {

bool kernelsCanRun() {
    int devices = 0;
    const bool found = cudaGetDeviceCount(&devices) == cudaSuccess && devices > 0;
    cudaGetLastError();
    return found;
}

TestSurface::TestSurface(int width, int height) : width_(width), height_(height) {
    const cudaChannelFormatDesc format =
        cudaCreateChannelDesc(8, 8, 8, 8, cudaChannelFormatKindUnsigned);
    cudaArray_t array = nullptr;
    if (cudaMallocArray(&array, &format, width, height, cudaArraySurfaceLoadStore) != cudaSuccess)
        return;
    array_ = array;
    // CUDA arrays start undefined; a GL texture the display clears starts zeroed.
    const std::vector<uint8_t> zeros(4 * static_cast<size_t>(width) * height, 0);
    const size_t pitch = 4 * static_cast<size_t>(width);
    cudaMemcpy2DToArray(array, 0, 0, zeros.data(), pitch, pitch, height, cudaMemcpyHostToDevice);
    cudaResourceDesc resource{};
    resource.resType = cudaResourceTypeArray;
    resource.res.array.array = array;
    cudaCreateSurfaceObject(&handle_, &resource);
}

TestSurface::~TestSurface() {
    if (handle_ != 0)
        cudaDestroySurfaceObject(handle_);
    if (array_ != nullptr)
        cudaFreeArray(static_cast<cudaArray_t>(array_));
}

void TestSurface::read() {
    const size_t pitch = 4 * static_cast<size_t>(width_);
    texels_.assign(pitch * height_, 0);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    ASSERT_EQ(cudaMemcpy2DFromArray(texels_.data(), pitch, static_cast<cudaArray_t>(array_), 0, 0,
                                    pitch, height_, cudaMemcpyDeviceToHost),
              cudaSuccess);
}

}  // namespace camfx::test
