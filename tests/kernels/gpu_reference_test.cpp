// The device code against the host implementations, on random frames: what the shared
// suite cannot state for the GPU alone. Exact for every kernel but the swirl, whose fast
// hardware sine, cosine and division may move a source point across a rounding boundary:
// there every differing pixel must still come from within one row and column of the host's
// source pixel, and few pixels may differ.
#include <cstdlib>
#include <functional>
#include <iostream>

#include "frame.h"
#include "host_kernels.h"
#include "kernel_suite.h"
#include "launch.h"

namespace camfx::test {
namespace {

using GpuKernelTest = KernelTest;

// A launch on the GPU and the host implementation of the same pixels, over a frame of the
// given size; the destination starts as 42s on both sides.
struct Pair {
    const char* name;
    int width, height;
    size_t dstBytes;
    std::function<void(const uint8_t*, uint8_t*)> device;
    std::function<void(const uint8_t*, uint8_t*)> host;
};

size_t nv12Bytes(int width, int height) {
    return static_cast<size_t>(width) * height + 2 * (height / 2) * (width / 2) + 16;
}

TEST_F(GpuKernelTest, ExactKernelsMatchTheHost) {
    const int W = FRAME_WIDTH, H = FRAME_HEIGHT;
    const Pair pairs[] = {
        {"negative", W, H, FRAME_BYTES,
         [](const uint8_t* s, uint8_t* d) { launchNegative(kGrid, kBlock, 0, s, d, W, H); },
         [](const uint8_t* s, uint8_t* d) { hostNegative(s, d, W, W, H); }},
        {"negative over half the grid", W, H, FRAME_BYTES,
         [](const uint8_t* s, uint8_t* d) { launchNegative(dim3(40, 45), kBlock, 0, s, d, W, H); },
         [](const uint8_t* s, uint8_t* d) { hostNegative(s, d, W, 640, H); }},
        {"mirrorX", W, H, FRAME_BYTES,
         [](const uint8_t* s, uint8_t* d) { launchMirrorX(kGrid, kBlock, 0, s, d, W, H); },
         [](const uint8_t* s, uint8_t* d) { hostMirrorX(s, d, W, W, H); }},
        {"mosaic", W, H, FRAME_BYTES,
         [](const uint8_t* s, uint8_t* d) { launchMosaic(0, s, d, W, H, 8); },
         [](const uint8_t* s, uint8_t* d) { hostMosaic(s, d, W, H, 8); }},
        {"mosaic of cut-off tiles", 1283, 725, frameBytes(1283, 725),
         [](const uint8_t* s, uint8_t* d) { launchMosaic(0, s, d, 1283, 725, 8); },
         [](const uint8_t* s, uint8_t* d) { hostMosaic(s, d, 1283, 725, 8); }},
        {"RGB2NV12", W, H, nv12Bytes(W, H),
         [](const uint8_t* s, uint8_t* d) { launchRGB2NV12(kGrid, kBlock, 0, s, d, W, H); },
         [](const uint8_t* s, uint8_t* d) { hostRGB2NV12(s, d, W, H, W, H); }},
        {"RGB2NV12 of an odd size", 37, 21, nv12Bytes(37, 21),
         [](const uint8_t* s, uint8_t* d) { launchRGB2NV12(dim3(3, 2), kBlock, 0, s, d, 37, 21); },
         [](const uint8_t* s, uint8_t* d) { hostRGB2NV12(s, d, 37, 21, 37, 21); }},
    };
    uint32_t seed = 1;
    for (const Pair& pair : pairs) {
        const Frame src = randomFrame(pair.width, pair.height, seed++);
        Frame host(pair.dstBytes, 42);
        pair.host(src.data(), host.data());
        EXPECT_EQ(run(src, pair.dstBytes, 42, pair.device), host) << pair.name;
    }
}

TEST_F(GpuKernelTest, BlitGlMatchesTheHost) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 10);
    TestSurface surface(FRAME_WIDTH, FRAME_HEIGHT);
    run(src, 0, 0, [&](const uint8_t* s, uint8_t*) {
        launchBlitGl(kGrid, kBlock, 0, s, surface.handle(), FRAME_WIDTH, FRAME_HEIGHT);
    });
    surface.read();
    const size_t pitch = 4 * static_cast<size_t>(FRAME_WIDTH);
    std::vector<uint8_t> host(pitch * FRAME_HEIGHT);
    const TexelRows texels{host.data(), FRAME_WIDTH, FRAME_HEIGHT, pitch};
    ASSERT_TRUE(
        hostBlitGl(src.data(), texels, FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH, FRAME_HEIGHT));
    EXPECT_EQ(surface.texels(), host);
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
        const Frame gpu = run(src, [time](const uint8_t* s, uint8_t* d) {
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
