// The four effects, through the same launch functions as the frame loop.
#include <algorithm>

#include "frame.h"
#include "kernel_suite.h"
#include "launch.h"

namespace camfx::test {
namespace {

using EffectTest = KernelTest;

// Each effect over a whole frame of the given size, with the frame loop's blocks.
Frame negative(const Frame& src, int width = FRAME_WIDTH, int height = FRAME_HEIGHT) {
    return run(src, [=](const uint8_t* s, uint8_t* d) {
        launchNegative(gridFor(width, height), kBlock, 0, s, d, width, height);
    });
}
Frame mirrorX(const Frame& src, int width = FRAME_WIDTH, int height = FRAME_HEIGHT) {
    return run(src, [=](const uint8_t* s, uint8_t* d) {
        launchMirrorX(gridFor(width, height), kBlock, 0, s, d, width, height);
    });
}
Frame mosaic(const Frame& src, int width = FRAME_WIDTH, int height = FRAME_HEIGHT, int tile = 8,
             uint8_t fill = 0) {
    return run(src, src.size(), fill,
               [=](const uint8_t* s, uint8_t* d) { launchMosaic(0, s, d, width, height, tile); });
}
Frame spiral(const Frame& src, float time) {
    return run(src, [=](const uint8_t* s, uint8_t* d) {
        launchSpiral(kGrid, kBlock, 0, s, d, FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, time);
    });
}

// --- negative ---------------------------------------------------------------------------

TEST_F(EffectTest, NegativeInvertsEveryByte) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 1);
    const Frame dst = negative(src);
    for (size_t i = 0; i < FRAME_BYTES; ++i) {
        ASSERT_EQ(dst[i], 255 - src[i]) << "byte " << i;
    }
}

TEST_F(EffectTest, NegativeTwiceGivesTheInputBack) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 2);
    const Frame once = negative(src);
    EXPECT_NE(once, src);
    EXPECT_EQ(negative(once), src);
}

// --- mirrorX ----------------------------------------------------------------------------

TEST_F(EffectTest, MirrorXCopiesThePixelFromTheOtherSide) {
    for (const auto [width, height] : {std::pair{FRAME_WIDTH, FRAME_HEIGHT}, {1283, 5}, {1, 3}}) {
        const Frame src = randomFrame(width, height, 3);
        const Frame dst = mirrorX(src, width, height);
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

TEST_F(EffectTest, MirrorXTwiceGivesTheInputBack) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 4);
    const Frame once = mirrorX(src);
    EXPECT_NE(once, src);
    EXPECT_EQ(mirrorX(once), src);
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

TEST_F(EffectTest, MosaicFillsEveryTileWithItsMean) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 5);
    EXPECT_EQ(mosaic(src), naiveMosaic(src, FRAME_WIDTH, FRAME_HEIGHT, 8));
    // Whole tiles whose pixel count is no power of two.
    EXPECT_EQ(mosaic(src, FRAME_WIDTH, FRAME_HEIGHT, 6),
              naiveMosaic(src, FRAME_WIDTH, FRAME_HEIGHT, 6));
}

TEST_F(EffectTest, MosaicLeavesUniformTilesUnchanged) {
    // Tile colours vary, but each tile is uniform.
    Frame src(FRAME_BYTES);
    for (int y = 0; y < FRAME_HEIGHT; ++y)
        for (int x = 0; x < FRAME_WIDTH; ++x)
            for (int c = 0; c < 3; ++c)
                src[3 * (static_cast<size_t>(y) * FRAME_WIDTH + x) + c] =
                    static_cast<uint8_t>((x / 8) * 7 + (y / 8) * 13 + c * 101);
    EXPECT_EQ(mosaic(src), src);
}

TEST_F(EffectTest, MosaicOfOneBrightPixelAmongSixtyThreeZerosGivesThree) {
    for (int channel = 0; channel < 3; ++channel) {
        Frame src(FRAME_BYTES, 0);
        // Tile (5, 2): pixels x 40..47, y 16..23; the bright one at (43, 21).
        src[3 * (21 * static_cast<size_t>(FRAME_WIDTH) + 43) + channel] = 255;
        const Frame dst = mosaic(src, FRAME_WIDTH, FRAME_HEIGHT, 8, 99);
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

TEST_F(EffectTest, MosaicOfCutOffTilesAveragesTheirPixelsInsideTheFrame) {
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
    const Frame dst = mosaic(src, width, height);
    EXPECT_EQ(dst, naiveMosaic(src, width, height, 8));
    // 150 / 15, 30, 3 * 253 / 15 rounded down.
    const uint8_t* corner = pixel(dst, width, 1282, 724);
    EXPECT_EQ(corner[0], 10);
    EXPECT_EQ(corner[1], 30);
    EXPECT_EQ(corner[2], 50);
}

TEST_F(EffectTest, MosaicOfOtherTileSizes) {
    for (int tile : {1, 2, 5, 16, 32}) {
        const int width = 100, height = 37;
        const Frame src = randomFrame(width, height, 7 + tile);
        EXPECT_EQ(mosaic(src, width, height, tile), naiveMosaic(src, width, height, tile))
            << "tile " << tile;
    }
}

// --- spiral -----------------------------------------------------------------------------

TEST_F(EffectTest, SpiralMapsTheCentreOntoItselfAtAnyTime) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 9);
    for (float time : {0.0f, 0.7f, 1.5707964f, 100.0f, 12345.6f, -3.0f}) {
        const Frame dst = spiral(src, time);
        const uint8_t* out = pixel(dst, FRAME_WIDTH, 640, 360);
        EXPECT_TRUE(std::equal(out, out + 3, pixel(src, FRAME_WIDTH, 640, 360))) << time;
    }
}

TEST_F(EffectTest, SpiralDependsOnTime) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 10);
    EXPECT_NE(spiral(src, 0.0f), spiral(src, 1.5f));
}

}  // namespace
}  // namespace camfx::test
