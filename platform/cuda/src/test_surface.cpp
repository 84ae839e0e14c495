// Surfaces for tests of code that writes through surface objects without a GL texture.
#define CAMFX_CUDA_STANDIN_INTERNAL
#include <map>
#include <memory>

#include "cuda_host.h"
#include "state.h"

namespace {

std::map<cudaSurfaceObject_t, std::unique_ptr<cudaArray>>& testArrays() {
    static std::map<cudaSurfaceObject_t, std::unique_ptr<cudaArray>> arrays;
    return arrays;
}

}  // namespace

namespace cudahost {

cudaSurfaceObject_t createTestSurface(int width, int height) {
    auto array = std::make_unique<cudaArray>();
    array->width = width;
    array->height = height;
    array->pitch = static_cast<size_t>(width) * 4;
    array->texels.assign(array->pitch * static_cast<size_t>(height), 0);
    array->surfaceLoadStore = true;

    cudaResourceDesc desc{};
    desc.resType = cudaResourceTypeArray;
    desc.res.array.array = array.get();
    cudaSurfaceObject_t surface = 0;
    if (cudaCreateSurfaceObject(&surface, &desc) != cudaSuccess)
        return 0;
    std::lock_guard<std::mutex> lock(detail::registryMutex());
    testArrays()[surface] = std::move(array);
    return surface;
}

void destroyTestSurface(cudaSurfaceObject_t surface) {
    cudaDestroySurfaceObject(surface);
    std::lock_guard<std::mutex> lock(detail::registryMutex());
    testArrays().erase(surface);
}

}  // namespace cudahost
