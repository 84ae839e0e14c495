// The four effects in the host flavor, through the same launch functions as the frame loop.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "frame.h"
#include "frames.h"
#include "launch.h"
#include "pixel_formulas.h"

namespace camfx::test {
namespace {

const dim3 kGrid(80, 45);
const dim3 kBlock(16, 16);

// Enough 16 x 16 blocks to cover a frame of any size.
dim3 gridFor(int width, int height, unsigned block = 16) {
    return dim3((width + block - 1) / block, (height + block - 1) / block);
}

class EffectTest : public ::testing::Test {
  protected:
    void SetUp() override { cudaGetLastError(); }
    void TearDown() override { EXPECT_EQ(cudaGetLastError(), cudaSuccess); }
};

// --- negative ---------------------------------------------------------------------------

using NegativeTest = EffectTest;

TEST_F(NegativeTest, InvertsEveryByte) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 1);
    Frame dst(FRAME_BYTES);
    launchNegative(kGrid, kBlock, 0, src.data(), dst.data(), FRAME_WIDTH, FRAME_HEIGHT);
    for (size_t i = 0; i < FRAME_BYTES; ++i) {
        ASSERT_EQ(dst[i], 255 - src[i]) << "byte " << i;
    }
}

TEST_F(NegativeTest, TwiceGivesTheInputBack) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 2);
    Frame once(FRAME_BYTES), twice(FRAME_BYTES);
    launchNegative(kGrid, kBlock, 0, src.data(), once.data(), FRAME_WIDTH, FRAME_HEIGHT);
    launchNegative(kGrid, kBlock, 0, once.data(), twice.data(), FRAME_WIDTH, FRAME_HEIGHT);
    EXPECT_NE(once, src);
    EXPECT_EQ(twice, src);
}

// --- mirrorX ----------------------------------------------------------------------------

using MirrorXTest = EffectTest;

TEST_F(MirrorXTest, CopiesThePixelFromTheOtherSide) {
    for (const auto [width, height] : {std::pair{FRAME_WIDTH, FRAME_HEIGHT}, {1283, 5}, {1, 3}}) {
        const Frame src = randomFrame(width, height, 3);
        Frame dst(frameBytes(width, height));
        launchMirrorX(gridFor(width, height), kBlock, 0, src.data(), dst.data(), width, height);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const uint8_t* out = pixel(dst, width, x, y);
                const uint8_t* in = pixel(src, width, width - 1 - x, y);
                ASSERT_TRUE(std::equal(out, out + 3, in))
                    << width << "x" << height << " pixel " << x << "," << y;
            }
        }
    }
}

TEST_F(MirrorXTest, TwiceGivesTheInputBack) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 4);
    Frame once(FRAME_BYTES), twice(FRAME_BYTES);
    launchMirrorX(kGrid, kBlock, 0, src.data(), once.data(), FRAME_WIDTH, FRAME_HEIGHT);
    launchMirrorX(kGrid, kBlock, 0, once.data(), twice.data(), FRAME_WIDTH, FRAME_HEIGHT);
    EXPECT_NE(once, src);
    EXPECT_EQ(twice, src);
}

// --- mosaic -----------------------------------------------------------------------------

// Each tile's per-channel mean over its pixels inside the frame, rounded down.
Frame naiveMosaic(const Frame& src, int width, int height, int tile) {
    Frame dst(src.size());
    for (int ty = 0; ty < height; ty += tile) {
        for (int tx = 0; tx < width; tx += tile) {
            const int x1 = std::min(width, tx + tile), y1 = std::min(height, ty + tile);
            unsigned sums[3] = {0, 0, 0};
            for (int y = ty; y < y1; ++y)
                for (int x = tx; x < x1; ++x)
                    for (int c = 0; c < 3; ++c)
                        sums[c] += pixel(src, width, x, y)[c];
            const unsigned count = static_cast<unsigned>((x1 - tx) * (y1 - ty));
            for (int y = ty; y < y1; ++y)
                for (int x = tx; x < x1; ++x)
                    for (int c = 0; c < 3; ++c)
                        dst[3 * (static_cast<size_t>(y) * width + x) + c] =
                            static_cast<uint8_t>(sums[c] / count);
        }
    }
    return dst;
}

using MosaicTest = EffectTest;

TEST_F(MosaicTest, FillsEveryTileWithItsMean) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 5);
    Frame dst(FRAME_BYTES);
    launchMosaic(0, src.data(), dst.data(), FRAME_WIDTH, FRAME_HEIGHT, 8);
    EXPECT_EQ(dst, naiveMosaic(src, FRAME_WIDTH, FRAME_HEIGHT, 8));
}

TEST_F(MosaicTest, UniformTilesAreUnchanged) {
    // Tile colours vary, but each tile is uniform.
    Frame src(FRAME_BYTES);
    for (int y = 0; y < FRAME_HEIGHT; ++y)
        for (int x = 0; x < FRAME_WIDTH; ++x)
            for (int c = 0; c < 3; ++c)
                src[3 * (static_cast<size_t>(y) * FRAME_WIDTH + x) + c] =
                    static_cast<uint8_t>((x / 8) * 7 + (y / 8) * 13 + c * 101);
    Frame dst(FRAME_BYTES);
    launchMosaic(0, src.data(), dst.data(), FRAME_WIDTH, FRAME_HEIGHT, 8);
    EXPECT_EQ(dst, src);
}

TEST_F(MosaicTest, OneBrightPixelAmongSixtyThreeZerosGivesThree) {
    for (int channel = 0; channel < 3; ++channel) {
        Frame src(FRAME_BYTES, 0);
        // Tile (5, 2): pixels x 40..47, y 16..23; the bright one at (43, 21).
        src[3 * (21 * static_cast<size_t>(FRAME_WIDTH) + 43) + channel] = 255;
        Frame dst(FRAME_BYTES, 99);
        launchMosaic(0, src.data(), dst.data(), FRAME_WIDTH, FRAME_HEIGHT, 8);
        for (int y = 0; y < FRAME_HEIGHT; ++y) {
            for (int x = 0; x < FRAME_WIDTH; ++x) {
                const bool inTile = x / 8 == 5 && y / 8 == 2;
                for (int c = 0; c < 3; ++c) {
                    ASSERT_EQ(pixel(dst, FRAME_WIDTH, x, y)[c], inTile && c == channel ? 3 : 0)
                        << "channel " << channel << " pixel " << x << "," << y << " byte " << c;
                }
            }
        }
    }
}

TEST_F(MosaicTest, CutOffTilesAverageTheirPixelsInsideTheFrame) {
    const int width = 1283, height = 725;  // 3 columns and 5 rows past the last whole tile
    Frame src = randomFrame(width, height, 6);
    // The corner tile holds 3 x 5 pixels: make its mean easy to state.
    for (int y = 720; y < height; ++y)
        for (int x = 1280; x < width; ++x) {
            uint8_t* p = &src[3 * (static_cast<size_t>(y) * width + x)];
            p[0] = static_cast<uint8_t>(x == 1280 && y == 720 ? 150 : 0);
            p[1] = 30;
            p[2] = static_cast<uint8_t>(y == 724 ? 253 : 0);
        }
    Frame dst(src.size());
    launchMosaic(0, src.data(), dst.data(), width, height, 8);
    EXPECT_EQ(dst, naiveMosaic(src, width, height, 8));
    // 150 / 15, 30, 3 * 253 / 15 rounded down.
    const uint8_t* corner = pixel(dst, width, 1282, 724);
    EXPECT_EQ(corner[0], 10);
    EXPECT_EQ(corner[1], 30);
    EXPECT_EQ(corner[2], 50);
}

TEST_F(MosaicTest, OtherTileSizes) {
    for (int tile : {1, 2, 5, 16, 32}) {
        const int width = 100, height = 37;
        const Frame src = randomFrame(width, height, 7 + tile);
        Frame dst(src.size());
        launchMosaic(0, src.data(), dst.data(), width, height, tile);
        EXPECT_EQ(dst, naiveMosaic(src, width, height, tile)) << "tile " << tile;
    }
}

TEST_F(MosaicTest, TileBelowOneRunsNothing) {
    const Frame src = randomFrame(64, 64, 8);
    Frame dst(src.size(), 77);
    for (int tile : {0, -8}) {
        launchMosaic(0, src.data(), dst.data(), 64, 64, tile);
    }
    EXPECT_EQ(dst, Frame(src.size(), 77));
}

// --- spiral -----------------------------------------------------------------------------

// The swirl in double precision with the exact arc tangent, sine and cosine: the source
// point before rounding, clamped into the frame.
struct SourcePoint {
    double x;
    double y;
    bool leftOf, rightOf, above, below;  // the unclamped point lies beyond that edge
};

SourcePoint exactSwirl(int x, int y, int width, int height, double cx, double cy, float time) {
    const double dx = x - cx, dy = y - cy;
    const double r = std::hypot(dx, dy);
    const double b = std::atan2(dy, dx) + 0.1 * std::sin(0.1 * r + time);
    const double sx = cx + r * std::cos(b), sy = cy + r * std::sin(b);
    return {std::clamp(sx, 0.0, width - 1.0), std::clamp(sy, 0.0, height - 1.0),
            sx<-0.5, sx> width - 0.5, sy<-0.5, sy> height - 0.5};
}

using SpiralTest = EffectTest;

TEST_F(SpiralTest, CentreMapsOntoItselfAtAnyTime) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 9);
    for (float time : {0.0f, 0.7f, 1.5707964f, 100.0f, 12345.6f, -3.0f}) {
        Frame dst(FRAME_BYTES);
        launchSpiral(kGrid, kBlock, 0, src.data(), dst.data(), FRAME_WIDTH, FRAME_HEIGHT, 640.0f,
                     360.0f, time);
        const uint8_t* out = pixel(dst, FRAME_WIDTH, 640, 360);
        EXPECT_TRUE(std::equal(out, out + 3, pixel(src, FRAME_WIDTH, 640, 360))) << time;
    }
}

// Every pixel takes the source pixel that the exact swirl names, up to the error of the
// arc tangent approximation (at most 2.1e-4 radians, so 2.1e-4 r pixels) where the exact
// point lies near a rounding boundary.
TEST_F(SpiralTest, FollowsTheExactSwirlAndClampsToTheEdges) {
    const Frame src = coordinateFrame(FRAME_WIDTH, FRAME_HEIGHT);
    int beyond[4] = {0, 0, 0, 0};
    for (float time : {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 987.25f}) {
        Frame dst(FRAME_BYTES);
        launchSpiral(kGrid, kBlock, 0, src.data(), dst.data(), FRAME_WIDTH, FRAME_HEIGHT, 640.0f,
                     360.0f, time);
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
                if (want.leftOf) {
                    ++beyond[0];
                    ASSERT_EQ(got.x, 0) << x << "," << y;
                }
                if (want.rightOf) {
                    ++beyond[1];
                    ASSERT_EQ(got.x, FRAME_WIDTH - 1) << x << "," << y;
                }
                if (want.above) {
                    ++beyond[2];
                    ASSERT_EQ(got.y, 0) << x << "," << y;
                }
                if (want.below) {
                    ++beyond[3];
                    ASSERT_EQ(got.y, FRAME_HEIGHT - 1) << x << "," << y;
                }
            }
        }
        EXPECT_LT(inexact, FRAME_WIDTH * FRAME_HEIGHT / 20) << "time " << time;
    }
    // The corners swing out past every edge at some of these times.
    for (int edge = 0; edge < 4; ++edge)
        EXPECT_GT(beyond[edge], 0) << "edge " << edge;
}

// The host implementation keeps each geometry's polar coordinates and takes each frame's
// twist once per distance: the result must still be the per-pixel formula's, bit for bit,
// from frame to frame and when the geometry changes.
TEST_F(SpiralTest, EqualsThePerPixelFormulaWhateverCameBefore) {
    struct Case {
        int width, height;
        float centerX, centerY, time;
    };
    const Case cases[] = {{FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, 0.5f},
                          {FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, 3601.3f},
                          {37, 21, 10.25f, 3.0f, 7.0f},
                          {FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, 2.0f}};
    for (const Case& c : cases) {
        const Frame src = coordinateFrame(c.width, c.height);
        Frame dst(frameBytes(c.width, c.height));
        launchSpiral(gridFor(c.width, c.height), kBlock, 0, src.data(), dst.data(), c.width,
                     c.height, c.centerX, c.centerY, c.time);
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

TEST_F(SpiralTest, DependsOnTime) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 10);
    Frame a(FRAME_BYTES), b(FRAME_BYTES);
    launchSpiral(kGrid, kBlock, 0, src.data(), a.data(), FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f,
                 0.0f);
    launchSpiral(kGrid, kBlock, 0, src.data(), b.data(), FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f,
                 1.5f);
    EXPECT_NE(a, b);
}

// --- launch configurations --------------------------------------------------------------

// Every effect of the chain, launched over a frame with the given geometry.
struct Effect {
    const char* name;
    void (*launch)(dim3, dim3, const uint8_t*, uint8_t*);
};

const Effect kEffects[] = {
    {"negative", [](dim3 g, dim3 b, const uint8_t* s,
                    uint8_t* d) { launchNegative(g, b, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT); }},
    {"mirrorX", [](dim3 g, dim3 b, const uint8_t* s,
                   uint8_t* d) { launchMirrorX(g, b, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT); }},
    {"spiral",
     [](dim3 g, dim3 b, const uint8_t* s, uint8_t* d) {
         launchSpiral(g, b, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, 2.0f);
     }},
};

TEST(EffectLaunchTest, RefusedConfigurationsRunNothing) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 11);
    const std::pair<dim3, dim3> refused[] = {{dim3(0, 45), kBlock},     {dim3(80, 0), kBlock},
                                             {dim3(80, 45, 0), kBlock}, {kGrid, dim3(0, 16)},
                                             {kGrid, dim3(32, 33)},     {kGrid, dim3(16, 16, 0)},
                                             {kGrid, dim3(8, 8, 65)}};
    for (const Effect& effect : kEffects) {
        for (const auto& [grid, block] : refused) {
            cudaGetLastError();
            Frame dst(FRAME_BYTES, 42);
            effect.launch(grid, block, src.data(), dst.data());
            EXPECT_EQ(dst, Frame(FRAME_BYTES, 42)) << effect.name;
            EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration) << effect.name;
        }
    }
    // The mosaic's block is its tile: a tile of more pixels than a block's threads.
    Frame dst(FRAME_BYTES, 42);
    launchMosaic(0, src.data(), dst.data(), FRAME_WIDTH, FRAME_HEIGHT, 33);
    EXPECT_EQ(dst, Frame(FRAME_BYTES, 42));
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
}

TEST(EffectLaunchTest, AGridOverPartOfTheFrameProcessesOnlyThatPart) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 12);
    for (const Effect& effect : kEffects) {
        Frame whole(FRAME_BYTES);
        effect.launch(kGrid, kBlock, src.data(), whole.data());
        // The left half of the columns, then the top third of the rows.
        const dim3 parts[] = {dim3(40, 45), dim3(80, 15)};
        for (int part = 0; part < 2; ++part) {
            Frame dst(FRAME_BYTES, 42);
            effect.launch(parts[part], kBlock, src.data(), dst.data());
            for (int y = 0; y < FRAME_HEIGHT; ++y) {
                for (int x = 0; x < FRAME_WIDTH; ++x) {
                    const bool covered = part == 0 ? x < 640 : y < 240;
                    const uint8_t* got = pixel(dst, FRAME_WIDTH, x, y);
                    const uint8_t* want = covered ? pixel(whole, FRAME_WIDTH, x, y) : nullptr;
                    for (int c = 0; c < 3; ++c) {
                        ASSERT_EQ(got[c], covered ? want[c] : 42)
                            << effect.name << " part " << part << " at " << x << "," << y;
                    }
                }
            }
        }
    }
}

TEST(EffectLaunchTest, LargerGridsStopAtTheFrame) {
    // Threads beyond the frame must not write: the destination has a guard band after it.
    const int width = 37, height = 11;
    const Frame src = randomFrame(width, height, 13);
    Frame dst(frameBytes(width, height) + 64, 42);
    launchNegative(dim3(10, 10), kBlock, 0, src.data(), dst.data(), width, height);
    launchMirrorX(dim3(10, 10), kBlock, 0, src.data(), dst.data(), width, height);
    launchSpiral(dim3(10, 10), kBlock, 0, src.data(), dst.data(), width, height, 18.0f, 5.0f, 1.0f);
    launchMosaic(0, src.data(), dst.data(), width, height, 8);
    for (size_t i = frameBytes(width, height); i < dst.size(); ++i)
        ASSERT_EQ(dst[i], 42) << i;
}

}  // namespace
}  // namespace camfx::test
