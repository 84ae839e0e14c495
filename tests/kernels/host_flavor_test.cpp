// What only the host flavor checks: that its swirl follows the exact swirl and its own
// per-pixel formula bit for bit (the GPU's fast sine and division move a few source points
// by a pixel; the GPU suite compares those with this flavor), and the blit's trap.
#include <algorithm>
#include <cmath>

#include "frame.h"
#include "kernel_suite.h"
#include "launch.h"
#include "pixel_formulas.h"

namespace camfx::test {
namespace {

using HostFlavorTest = KernelTest;

// These leave a launch failure behind on purpose.
class BlitTrapTest : public KernelTest {
  protected:
    void TearDown() override { cudaGetLastError(); }
};

// The swirl in double precision with the exact arc tangent, sine and cosine: the source
// point before rounding, clamped into the frame.
struct SourcePoint {
    double x;
    double y;
    bool beyond[4];  // the unclamped point lies left, right, above or below the frame
};

SourcePoint exactSwirl(int x, int y, int width, int height, double cx, double cy, float time) {
    const double dx = x - cx, dy = y - cy;
    const double r = std::hypot(dx, dy);
    const double b = std::atan2(dy, dx) + 0.1 * std::sin(0.1 * r + time);
    const double sx = cx + r * std::cos(b), sy = cy + r * std::sin(b);
    return {std::clamp(sx, 0.0, width - 1.0),
            std::clamp(sy, 0.0, height - 1.0),
            {(sx < -0.5), (sx > width - 0.5), (sy < -0.5), (sy > height - 0.5)}};
}

// Every pixel takes the source pixel that the exact swirl names, up to the error of the
// arc tangent approximation (at most 2.1e-4 radians, so 2.1e-4 r pixels) where the exact
// point lies near a rounding boundary.
TEST_F(HostFlavorTest, SpiralFollowsTheExactSwirlAndClampsToTheEdges) {
    const Frame src = coordinateFrame(FRAME_WIDTH, FRAME_HEIGHT);
    int beyond[4] = {0, 0, 0, 0};
    for (float time : {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 987.25f}) {
        const Frame dst = run(src, [&](const uint8_t* s, uint8_t* d) {
            launchSpiral(kGrid, kBlock, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, time);
        });
        int inexact = 0;
        for (int y = 0; y < FRAME_HEIGHT; ++y) {
            for (int x = 0; x < FRAME_WIDTH; ++x) {
                const Coordinates got = decodeCoordinates(pixel(dst, FRAME_WIDTH, x, y));
                const SourcePoint want =
                    exactSwirl(x, y, FRAME_WIDTH, FRAME_HEIGHT, 640.0, 360.0, time);
                const double bound = 0.5 + 2.2e-4 * std::hypot(x - 640.0, y - 360.0) + 1e-3;
                ASSERT_LE(std::abs(got.x - want.x), bound)
                    << "time " << time << " at " << x << "," << y;
                ASSERT_LE(std::abs(got.y - want.y), bound)
                    << "time " << time << " at " << x << "," << y;
                inexact += got.x != std::lround(want.x) || got.y != std::lround(want.y);
                // Beyond an edge the source is on that edge.
                const int distanceToEdge[4] = {got.x, FRAME_WIDTH - 1 - got.x, got.y,
                                               FRAME_HEIGHT - 1 - got.y};
                for (int edge = 0; edge < 4; ++edge) {
                    if (want.beyond[edge]) {
                        ++beyond[edge];
                        ASSERT_EQ(distanceToEdge[edge], 0)
                            << "edge " << edge << " at " << x << "," << y;
                    }
                }
            }
        }
        EXPECT_LT(inexact, FRAME_WIDTH * FRAME_HEIGHT / 20) << "time " << time;
    }
    // The corners swing out past every edge at some of these times.
    for (int edge = 0; edge < 4; ++edge)
        EXPECT_GT(beyond[edge], 0) << "edge " << edge;
}

// The host implementation keeps each geometry's polar coordinates (one quadrant's where the
// centre is a pixel) and takes each frame's twist once per distance: the result must still
// be the per-pixel formula's, bit for bit, from frame to frame and when the geometry changes.
TEST_F(HostFlavorTest, SpiralEqualsThePerPixelFormulaWhateverCameBefore) {
    struct Case {
        int width, height;
        float centerX, centerY, time;
    };
    const Case cases[] = {{FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, 0.5f},
                          {FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, 3601.3f},
                          {37, 21, 10.25f, 3.0f, 7.0f},
                          {37, 21, 30.0f, 4.0f, 7.0f},
                          {37, 21, 0.0f, 20.0f, 2.0f},
                          {FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, 2.0f}};
    for (const Case& c : cases) {
        const Frame src = coordinateFrame(c.width, c.height);
        const Frame dst = run(src, [&](const uint8_t* s, uint8_t* d) {
            launchSpiral(gridFor(c.width, c.height), kBlock, 0, s, d, c.width, c.height, c.centerX,
                         c.centerY, c.time);
        });
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const SourcePixel want = swirlSource(x, y, c.width, c.height, c.centerX, c.centerY,
                                                     c.time, kSwirlAmplitude, kSwirlFrequency);
                const Coordinates got = decodeCoordinates(pixel(dst, c.width, x, y));
                ASSERT_TRUE(got.x == want.column && got.y == want.row)
                    << c.width << "x" << c.height << " time " << c.time << " at " << x << "," << y;
            }
        }
    }
}

// A write outside the surface traps, which ends the launch with a launch failure. On a GPU
// that failure is sticky and spoils the process's context, so only the host flavor checks it.
TEST_F(BlitTrapTest, ASurfaceSmallerThanTheFrameIsALaunchFailure) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 22);
    for (const auto [width, height] :
         {std::pair{FRAME_WIDTH, FRAME_HEIGHT - 1}, std::pair{FRAME_WIDTH - 1, FRAME_HEIGHT}}) {
        TestSurface surface(width, height);
        launchBlitGl(kGrid, kBlock, 0, src.data(), surface.handle(), FRAME_WIDTH, FRAME_HEIGHT);
        EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure) << width << "x" << height;
    }
}

TEST_F(BlitTrapTest, TheTrapEndsTheLaunch) {
    // One row too few: frame row 0 would go to texel row 719, outside; the trap comes
    // before any texel is written, as frame rows are written from the top.
    const Frame src = uniformFrame(FRAME_WIDTH, FRAME_HEIGHT, 1, 2, 3);
    TestSurface surface(FRAME_WIDTH, FRAME_HEIGHT - 1);
    launchBlitGl(kGrid, kBlock, 0, src.data(), surface.handle(), FRAME_WIDTH, FRAME_HEIGHT);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    surface.read();
    for (int row = 0; row < FRAME_HEIGHT - 1; ++row) {
        ASSERT_EQ(surface.at(0, row)[3], 0) << row;
    }
}

TEST_F(BlitTrapTest, AnUnknownSurfaceIsALaunchFailure) {
    const Frame src = uniformFrame(16, 16, 1, 2, 3);
    launchBlitGl(dim3(1, 1), kBlock, 0, src.data(), 987654321ull, 16, 16);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
}

}  // namespace
}  // namespace camfx::test
