// The device code on a real GPU against the host implementations, on random frames. Exact
// for every kernel but the swirl, whose fast hardware sine, cosine and division may move a
// source point across a rounding boundary: there every differing pixel must still come
// from within one row and column of the host's source pixel, and few pixels may differ.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "frame.h"
#include "frames.h"
#include "host_kernels.h"
#include "launch.h"

namespace camfx::test {
namespace {

const dim3 kGrid(80, 45);
const dim3 kBlock(16, 16);

// The call's own text with the runtime's symbolic error, for failures of the harness.
#define CUDA_OK(call)                                                                           \
    do {                                                                                        \
        const cudaError_t result_ = (call);                                                     \
        ASSERT_EQ(result_, cudaSuccess) << #call << " failed -> " << cudaGetErrorName(result_); \
    } while (0)

class DeviceBuffer {
  public:
    explicit DeviceBuffer(size_t bytes) : bytes_(bytes) {
        if (cudaMalloc(&data_, bytes) != cudaSuccess)
            data_ = nullptr;
    }
    ~DeviceBuffer() { cudaFree(data_); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    uint8_t* get() const { return static_cast<uint8_t*>(data_); }
    size_t size() const { return bytes_; }

  private:
    void* data_ = nullptr;
    size_t bytes_;
};

class GpuKernelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int devices = 0;
        if (cudaGetDeviceCount(&devices) != cudaSuccess || devices == 0) {
            cudaGetLastError();
            GTEST_SKIP() << "no CUDA device";
        }
        cudaGetLastError();
    }

    // Uploads src, fills the destination with a sentinel, runs launch, returns the result.
    template <typename Launch>
    std::vector<uint8_t> run(const Frame& src, size_t dstBytes, Launch launch) {
        DeviceBuffer in(src.size()), out(dstBytes);
        EXPECT_NE(in.get(), nullptr);
        EXPECT_NE(out.get(), nullptr);
        std::vector<uint8_t> result(dstBytes);
        if (in.get() == nullptr || out.get() == nullptr)
            return result;
        EXPECT_EQ(cudaMemcpy(in.get(), src.data(), src.size(), cudaMemcpyHostToDevice),
                  cudaSuccess);
        EXPECT_EQ(cudaMemset(out.get(), 42, dstBytes), cudaSuccess);
        launch(in.get(), out.get());
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(cudaMemcpy(result.data(), out.get(), dstBytes, cudaMemcpyDeviceToHost),
                  cudaSuccess);
        return result;
    }
};

std::vector<uint8_t> sentinel(size_t bytes) {
    return std::vector<uint8_t>(bytes, 42);
}

TEST_F(GpuKernelTest, NegativeMatchesTheHost) {
    for (uint32_t seed : {1u, 2u}) {
        const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, seed);
        const auto gpu = run(src, FRAME_BYTES, [](const uint8_t* s, uint8_t* d) {
            launchNegative(kGrid, kBlock, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT);
        });
        Frame host(FRAME_BYTES);
        hostNegative(src.data(), host.data(), FRAME_WIDTH, FRAME_WIDTH, FRAME_HEIGHT);
        EXPECT_EQ(gpu, host);
    }
}

TEST_F(GpuKernelTest, MirrorXMatchesTheHost) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 3);
    const auto gpu = run(src, FRAME_BYTES, [](const uint8_t* s, uint8_t* d) {
        launchMirrorX(kGrid, kBlock, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT);
    });
    Frame host(FRAME_BYTES);
    hostMirrorX(src.data(), host.data(), FRAME_WIDTH, FRAME_WIDTH, FRAME_HEIGHT);
    EXPECT_EQ(gpu, host);
}

TEST_F(GpuKernelTest, MosaicMatchesTheHost) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 4);
    const auto gpu = run(src, FRAME_BYTES, [](const uint8_t* s, uint8_t* d) {
        launchMosaic(0, s, d, FRAME_WIDTH, FRAME_HEIGHT, 8);
    });
    Frame host(FRAME_BYTES);
    hostMosaic(src.data(), host.data(), FRAME_WIDTH, FRAME_HEIGHT, 8);
    EXPECT_EQ(gpu, host);
}

TEST_F(GpuKernelTest, MosaicOfCutOffTilesMatchesTheHost) {
    const int width = 1283, height = 725;
    const Frame src = randomFrame(width, height, 5);
    const auto gpu = run(src, frameBytes(width, height), [&](const uint8_t* s, uint8_t* d) {
        launchMosaic(0, s, d, width, height, 8);
    });
    Frame host(frameBytes(width, height));
    hostMosaic(src.data(), host.data(), width, height, 8);
    EXPECT_EQ(gpu, host);
}

TEST_F(GpuKernelTest, PartialGridsMatchTheHost) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 6);
    const auto gpu = run(src, FRAME_BYTES, [](const uint8_t* s, uint8_t* d) {
        launchNegative(dim3(40, 45), kBlock, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT);
    });
    Frame host = sentinel(FRAME_BYTES);
    hostNegative(src.data(), host.data(), FRAME_WIDTH, 640, FRAME_HEIGHT);
    EXPECT_EQ(gpu, host);
}

TEST_F(GpuKernelTest, RefusedConfigurationsRunNothing) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 7);
    const auto gpu = run(src, FRAME_BYTES, [](const uint8_t* s, uint8_t* d) {
        launchNegative(kGrid, dim3(32, 33), 0, s, d, FRAME_WIDTH, FRAME_HEIGHT);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
        launchMirrorX(dim3(0, 45), kBlock, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    });
    EXPECT_EQ(gpu, sentinel(FRAME_BYTES));
}

TEST_F(GpuKernelTest, RGB2NV12MatchesTheHost) {
    const size_t bytes = static_cast<size_t>(FRAME_WIDTH) * FRAME_HEIGHT * 3 / 2;
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 8);
    const auto gpu = run(src, bytes, [](const uint8_t* s, uint8_t* d) {
        launchRGB2NV12(kGrid, kBlock, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT);
    });
    std::vector<uint8_t> host(bytes);
    hostRGB2NV12(src.data(), host.data(), FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH, FRAME_HEIGHT);
    EXPECT_EQ(gpu, host);
}

TEST_F(GpuKernelTest, RGB2NV12OfAnOddSizeMatchesTheHost) {
    const int width = 37, height = 21;
    const size_t bytes = width * height + 2 * (height / 2) * (width / 2) + 16;
    const Frame src = randomFrame(width, height, 9);
    const auto gpu = run(src, bytes, [&](const uint8_t* s, uint8_t* d) {
        launchRGB2NV12(dim3(3, 2), kBlock, 0, s, d, width, height);
    });
    std::vector<uint8_t> host = sentinel(bytes);
    hostRGB2NV12(src.data(), host.data(), width, height, width, height);
    EXPECT_EQ(gpu, host);
}

TEST_F(GpuKernelTest, BlitGlMatchesTheHost) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 10);
    DeviceBuffer frame(FRAME_BYTES);
    CUDA_OK(cudaMemcpy(frame.get(), src.data(), FRAME_BYTES, cudaMemcpyHostToDevice));
    const cudaChannelFormatDesc format =
        cudaCreateChannelDesc(8, 8, 8, 8, cudaChannelFormatKindUnsigned);
    cudaArray_t array = nullptr;
    CUDA_OK(cudaMallocArray(&array, &format, FRAME_WIDTH, FRAME_HEIGHT, cudaArraySurfaceLoadStore));
    cudaResourceDesc resource{};
    resource.resType = cudaResourceTypeArray;
    resource.res.array.array = array;
    cudaSurfaceObject_t surface = 0;
    CUDA_OK(cudaCreateSurfaceObject(&surface, &resource));

    launchBlitGl(kGrid, kBlock, 0, frame.get(), surface, FRAME_WIDTH, FRAME_HEIGHT);
    CUDA_OK(cudaDeviceSynchronize());
    const size_t pitch = 4 * static_cast<size_t>(FRAME_WIDTH);
    std::vector<uint8_t> gpu(pitch * FRAME_HEIGHT);
    CUDA_OK(cudaMemcpy2DFromArray(gpu.data(), pitch, array, 0, 0, pitch, FRAME_HEIGHT,
                                  cudaMemcpyDeviceToHost));
    cudaDestroySurfaceObject(surface);
    cudaFreeArray(array);

    std::vector<uint8_t> host(gpu.size());
    const TexelRows texels{host.data(), FRAME_WIDTH, FRAME_HEIGHT, pitch};
    ASSERT_TRUE(
        hostBlitGl(src.data(), texels, FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH, FRAME_HEIGHT));
    EXPECT_EQ(gpu, host);
}

// The swirl's tolerance: each differing pixel within one row and column of the host's
// source pixel, and at most this share of pixels differing. Before 1000 (100 s of
// running) the differences come from the hardware's sine and reciprocal alone (a few
// 1e-4 pixels); later the argument scaling dominates if it rounds otherwise than the host
// assumes.
constexpr double kSpiralShareEarly = 0.01;
constexpr double kSpiralShareLate = 0.10;

TEST_F(GpuKernelTest, SpiralMatchesTheHostWithinTheTolerance) {
    const Frame src = coordinateFrame(FRAME_WIDTH, FRAME_HEIGHT);
    for (float time : {0.0f, 1.5f, 37.25f, 999.0f, 6000.5f, 36000.0f}) {
        const auto gpu = run(src, FRAME_BYTES, [time](const uint8_t* s, uint8_t* d) {
            launchSpiral(kGrid, kBlock, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, time);
        });
        Frame host(FRAME_BYTES);
        hostSpiral(src.data(), host.data(), FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH, FRAME_HEIGHT,
                   640.0f, 360.0f, time);
        int differing = 0;
        for (int y = 0; y < FRAME_HEIGHT; ++y) {
            for (int x = 0; x < FRAME_WIDTH; ++x) {
                const Coordinates g = decodeCoordinates(pixel(gpu, FRAME_WIDTH, x, y));
                const Coordinates h = decodeCoordinates(pixel(host, FRAME_WIDTH, x, y));
                if (g.x == h.x && g.y == h.y)
                    continue;
                ++differing;
                ASSERT_LE(std::abs(g.x - h.x), 1) << "time " << time << " at " << x << "," << y;
                ASSERT_LE(std::abs(g.y - h.y), 1) << "time " << time << " at " << x << "," << y;
            }
        }
        const double share = static_cast<double>(differing) / (FRAME_WIDTH * FRAME_HEIGHT);
        std::cout << "spiral at time " << time << ": " << differing << " pixels differ ("
                  << share * 100.0 << "%)\n";
        EXPECT_LE(share, time < 1000.0f ? kSpiralShareEarly : kSpiralShareLate) << time;
        EXPECT_EQ(gpu[3 * (360 * FRAME_WIDTH + 640)], src[3 * (360 * FRAME_WIDTH + 640)]);
    }
}

}  // namespace
}  // namespace camfx::test
