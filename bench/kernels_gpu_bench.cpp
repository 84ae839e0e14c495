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

void Mosaic(benchmark::State& state) {
    timeLaunches(state,
                 [](Gpu& g) { launchMosaic(0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT, 8); });
}
void Negative(benchmark::State& state) {
    timeLaunches(state, [](Gpu& g) {
        launchNegative(kGrid, kBlock, 0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT);
    });
}
void MirrorX(benchmark::State& state) {
    timeLaunches(state, [](Gpu& g) {
        launchMirrorX(kGrid, kBlock, 0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT);
    });
}
void Spiral(benchmark::State& state) {
    timeLaunches(state, [](Gpu& g) {
        launchSpiral(kGrid, kBlock, 0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f,
                     12.5f);
    });
}
void BlitGl(benchmark::State& state) {
    timeLaunches(state, [](Gpu& g) {
        launchBlitGl(kGrid, kBlock, 0, g.src, g.surface, FRAME_WIDTH, FRAME_HEIGHT);
    });
}
void RGB2NV12(benchmark::State& state) {
    timeLaunches(state, [](Gpu& g) {
        launchRGB2NV12(kGrid, kBlock, 0, g.src, g.dst, FRAME_WIDTH, FRAME_HEIGHT);
    });
}

BENCHMARK(Mosaic)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Negative)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(MirrorX)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Spiral)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BlitGl)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RGB2NV12)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
