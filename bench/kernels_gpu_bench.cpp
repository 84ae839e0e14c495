// Each kernel on the GPU at 1280 x 720 with the viewer's launch geometry, timed with CUDA
// events around a batch of launches: the figures are milliseconds per launch.
#include <benchmark/benchmark.h>
#include <cuda_runtime.h>

#include <vector>

#include "frame.h"
#include "launch.h"

namespace {

const dim3 kGrid(80, 45);
const dim3 kBlock(16, 16);
constexpr int kLaunchesPerIteration = 100;

// Device buffers, a surface for the blit and the two timing events, made once.
struct Gpu {
    bool ok = false;
    uint8_t* src = nullptr;
    uint8_t* dst = nullptr;
    cudaArray_t texture = nullptr;
    cudaSurfaceObject_t surface = 0;
    cudaEvent_t start = nullptr, stop = nullptr;

    Gpu() {
        int devices = 0;
        if (cudaGetDeviceCount(&devices) != cudaSuccess || devices == 0)
            return;
        const cudaChannelFormatDesc format =
            cudaCreateChannelDesc(8, 8, 8, 8, cudaChannelFormatKindUnsigned);
        cudaResourceDesc resource{};
        resource.resType = cudaResourceTypeArray;
        ok = cudaMalloc(reinterpret_cast<void**>(&src), FRAME_BYTES) == cudaSuccess &&
             cudaMalloc(reinterpret_cast<void**>(&dst), FRAME_BYTES) == cudaSuccess &&
             cudaMemset(src, 0x5a, FRAME_BYTES) == cudaSuccess &&
             cudaMallocArray(&texture, &format, FRAME_WIDTH, FRAME_HEIGHT,
                             cudaArraySurfaceLoadStore) == cudaSuccess &&
             (resource.res.array.array = texture,
              cudaCreateSurfaceObject(&surface, &resource) == cudaSuccess) &&
             cudaEventCreate(&start) == cudaSuccess && cudaEventCreate(&stop) == cudaSuccess;
    }
};

Gpu& gpu() {
    static Gpu instance;
    return instance;
}

template <typename Launch>
void timeLaunches(benchmark::State& state, Launch launch) {
    Gpu& g = gpu();
    if (!g.ok) {
        state.SkipWithError("no usable CUDA device");
        return;
    }
    launch(g);  // warm-up
    cudaDeviceSynchronize();
    for (auto _ : state) {
        cudaEventRecord(g.start, 0);
        for (int i = 0; i < kLaunchesPerIteration; ++i)
            launch(g);
        cudaEventRecord(g.stop, 0);
        cudaEventSynchronize(g.stop);
        float ms = 0.0f;
        cudaEventElapsedTime(&ms, g.start, g.stop);
        state.SetIterationTime(ms / 1000.0 / kLaunchesPerIteration);
    }
    if (cudaGetLastError() != cudaSuccess)
        state.SkipWithError("a launch failed");
}

// Each kernel as the viewer launches it, registered under its name.
struct Kernel {
    const char* name;
    void (*launch)(Gpu&);
};
const Kernel kKernels[] = {
    {"Mosaic", [](Gpu& g) { launchMosaic(0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT, 8); }},
    {"Negative",
     [](Gpu& g) { launchNegative(kGrid, kBlock, 0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT); }},
    {"MirrorX",
     [](Gpu& g) { launchMirrorX(kGrid, kBlock, 0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT); }},
    {"Spiral",
     [](Gpu& g) {
         launchSpiral(kGrid, kBlock, 0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f,
                      12.5f);
     }},
    {"BlitGl",
     [](Gpu& g) { launchBlitGl(kGrid, kBlock, 0, g.src, g.surface, FRAME_WIDTH, FRAME_HEIGHT); }},
    {"RGB2NV12",
     [](Gpu& g) { launchRGB2NV12(kGrid, kBlock, 0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT); }},
};

const bool kRegistered = [] {
    for (const Kernel& kernel : kKernels) {
        benchmark::RegisterBenchmark(
            kernel.name,
            [launch = kernel.launch](benchmark::State& state) { timeLaunches(state, launch); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
