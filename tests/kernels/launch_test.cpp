// Launch configurations, for every kernel: what the runtime refuses runs nothing, and a grid
// covers exactly the pixels it reaches.
#include <functional>
#include <string>

#include "frame.h"
#include "kernel_suite.h"
#include "launch.h"

namespace camfx::test {
namespace {

using LaunchTest = KernelTest;

constexpr size_t kNv12Bytes = FRAME_BYTES / 2;

// A kernel of the frame loop over a 1280 x 720 frame, with the geometry it is given; the
// blit writes into `surface`, the others into `dst` (of dstBytes).
struct Kernel {
    const char* name;
    size_t dstBytes;
    std::function<void(dim3, dim3, const uint8_t*, uint8_t*, cudaSurfaceObject_t)> launch;
};

const Kernel kKernels[] = {
    {"negative", FRAME_BYTES,
     [](dim3 g, dim3 b, const uint8_t* s, uint8_t* d, cudaSurfaceObject_t) {
         launchNegative(g, b, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT);
     }},
    {"mirrorX", FRAME_BYTES,
     [](dim3 g, dim3 b, const uint8_t* s, uint8_t* d, cudaSurfaceObject_t) {
         launchMirrorX(g, b, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT);
     }},
    {"spiral", FRAME_BYTES,
     [](dim3 g, dim3 b, const uint8_t* s, uint8_t* d, cudaSurfaceObject_t) {
         launchSpiral(g, b, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, 2.0f);
     }},
    {"RGB2NV12", kNv12Bytes,
     [](dim3 g, dim3 b, const uint8_t* s, uint8_t* d, cudaSurfaceObject_t) {
         launchRGB2NV12(g, b, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT);
     }},
    {"blitGl", 0,
     [](dim3 g, dim3 b, const uint8_t* s, uint8_t*, cudaSurfaceObject_t surface) {
         launchBlitGl(g, b, 0, s, surface, FRAME_WIDTH, FRAME_HEIGHT);
     }},
};

TEST_F(LaunchTest, RefusedConfigurationsRunNothing) {
    struct Refused {
        std::string what;
        std::function<void(const uint8_t*, uint8_t*, cudaSurfaceObject_t)> launch;
        size_t dstBytes;
        cudaError_t error;
    };
    std::vector<Refused> table;
    const std::pair<dim3, dim3> geometries[] = {{dim3(0, 45), kBlock},     {dim3(80, 0), kBlock},
                                                {dim3(80, 45, 0), kBlock}, {kGrid, dim3(0, 16)},
                                                {kGrid, dim3(32, 33)},     {kGrid, dim3(16, 16, 0)},
                                                {kGrid, dim3(16, 0)},      {kGrid, dim3(8, 8, 65)}};
    for (const Kernel& kernel : kKernels) {
        for (const auto& [grid, block] : geometries) {
            const std::string what = std::string(kernel.name) + " grid " + std::to_string(grid.x) +
                                     "," + std::to_string(grid.y) + " block " +
                                     std::to_string(block.x) + "," + std::to_string(block.y) + "," +
                                     std::to_string(block.z);
            table.push_back(
                {what,
                 [&kernel, grid, block](const uint8_t* s, uint8_t* d, cudaSurfaceObject_t surface) {
                     kernel.launch(grid, block, s, d, surface);
                 },
                 kernel.dstBytes, cudaErrorInvalidConfiguration});
        }
    }
    // The mosaic chooses its blocks from the tile: one of more pixels than a block's threads
    // is refused, and one below 1 has nothing to run.
    for (const auto [tile, error] :
         {std::pair{33, cudaErrorInvalidConfiguration}, {0, cudaSuccess}, {-8, cudaSuccess}}) {
        table.push_back({"mosaic tile " + std::to_string(tile),
                         [tile](const uint8_t* s, uint8_t* d, cudaSurfaceObject_t) {
                             launchMosaic(0, s, d, FRAME_WIDTH, FRAME_HEIGHT, tile);
                         },
                         FRAME_BYTES, error});
    }

    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 11);
    TestSurface surface(FRAME_WIDTH, FRAME_HEIGHT);
    for (const Refused& refused : table) {
        cudaGetLastError();
        const Frame dst = run(src, refused.dstBytes, 42, [&](const uint8_t* s, uint8_t* d) {
            refused.launch(s, d, surface.handle());
            EXPECT_EQ(cudaGetLastError(), refused.error) << refused.what;
        });
        EXPECT_EQ(dst, Frame(refused.dstBytes, 42)) << refused.what;
    }
    surface.read();
    for (int row = 0; row < FRAME_HEIGHT; ++row)
        for (int column = 0; column < FRAME_WIDTH; ++column)
            ASSERT_EQ(surface.at(column, row)[3], 0) << column << "," << row;
}

TEST_F(LaunchTest, AGridOverPartOfTheFrameProcessesOnlyThatPart) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 12);
    for (const Kernel& kernel : kKernels) {
        if (kernel.dstBytes != FRAME_BYTES)
            continue;  // the conversion and the blit have tests of their own
        const auto over = [&](dim3 grid) {
            return run(src, FRAME_BYTES, 42,
                       [&](const uint8_t* s, uint8_t* d) { kernel.launch(grid, kBlock, s, d, 0); });
        };
        const Frame whole = over(kGrid);
        // The left half of the columns, then the top third of the rows.
        const dim3 parts[] = {dim3(40, 45), dim3(80, 15)};
        for (int part = 0; part < 2; ++part) {
            const Frame dst = over(parts[part]);
            for (int y = 0; y < FRAME_HEIGHT; ++y) {
                for (int x = 0; x < FRAME_WIDTH; ++x) {
                    const bool covered = part == 0 ? x < 640 : y < 240;
                    const uint8_t* got = pixel(dst, FRAME_WIDTH, x, y);
                    const uint8_t* want = covered ? pixel(whole, FRAME_WIDTH, x, y) : nullptr;
                    for (int c = 0; c < 3; ++c) {
                        ASSERT_EQ(got[c], covered ? want[c] : 42)
                            << kernel.name << " part " << part << " at " << x << "," << y;
                    }
                }
            }
        }
    }
}

TEST_F(LaunchTest, LargerGridsStopAtTheFrame) {
    // Threads beyond the frame must not write: the destination has a guard band after it.
    const int width = 37, height = 11;
    const Frame src = randomFrame(width, height, 13);
    const size_t bytes = frameBytes(width, height);
    const Frame dst = run(src, bytes + 64, 42, [&](const uint8_t* s, uint8_t* d) {
        launchNegative(dim3(10, 10), kBlock, 0, s, d, width, height);
        launchMirrorX(dim3(10, 10), kBlock, 0, s, d, width, height);
        launchSpiral(dim3(10, 10), kBlock, 0, s, d, width, height, 18.0f, 5.0f, 1.0f);
        launchMosaic(0, s, d, width, height, 8);
    });
    for (size_t i = bytes; i < dst.size(); ++i)
        ASSERT_EQ(dst[i], 42) << i;
}

}  // namespace
}  // namespace camfx::test
