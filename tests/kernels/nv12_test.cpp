// The BGR to NV12 conversion: BT.601 limited range, point-sampled chroma.
#include "frame.h"
#include "kernel_suite.h"
#include "launch.h"

namespace camfx::test {
namespace {

using RGB2NV12Test = KernelTest;

constexpr size_t kLumaBytes = static_cast<size_t>(FRAME_WIDTH) * FRAME_HEIGHT;
constexpr size_t kNv12Bytes = kLumaBytes * 3 / 2;

using Nv12 = std::vector<uint8_t>;

Nv12 convert(const Frame& src, int width = FRAME_WIDTH, int height = FRAME_HEIGHT,
             size_t bytes = kNv12Bytes, dim3 grid = dim3(0, 0)) {
    if (grid.x == 0)
        grid = gridFor(width, height);
    return run(src, bytes, 7, [&](const uint8_t* s, uint8_t* d) {
        launchRGB2NV12(grid, kBlock, 0, s, d, width, height);
    });
}

struct Expected {
    const char* name;
    uint8_t blue, green, red;
    uint8_t y, cb, cr;
};

TEST_F(RGB2NV12Test, UniformColoursGiveTheBT601Values) {
    const Expected colours[] = {
        {"black", 0, 0, 0, 16, 128, 128},  {"white", 255, 255, 255, 235, 128, 128},
        {"red", 0, 0, 255, 82, 90, 240},   {"green", 0, 255, 0, 144, 54, 34},
        {"blue", 255, 0, 0, 41, 240, 110},
    };
    for (const Expected& e : colours) {
        const Nv12 nv12 = convert(uniformFrame(FRAME_WIDTH, FRAME_HEIGHT, e.blue, e.green, e.red));
        for (size_t i = 0; i < kLumaBytes; ++i)
            ASSERT_EQ(nv12[i], e.y) << e.name << " luma " << i;
        for (size_t i = kLumaBytes; i < kNv12Bytes; i += 2) {
            ASSERT_EQ(nv12[i], e.cb) << e.name << " Cb at " << i;
            ASSERT_EQ(nv12[i + 1], e.cr) << e.name << " Cr at " << i;
        }
    }
}

TEST_F(RGB2NV12Test, ChromaIsTakenFromTheTopLeftPixelOfEachBlock) {
    // Every block: black top-left pixel, white others.
    Frame src = uniformFrame(FRAME_WIDTH, FRAME_HEIGHT, 255, 255, 255);
    for (int y = 0; y < FRAME_HEIGHT; y += 2)
        for (int x = 0; x < FRAME_WIDTH; x += 2)
            std::fill_n(&src[3 * (static_cast<size_t>(y) * FRAME_WIDTH + x)], 3, 0);
    const Nv12 nv12 = convert(src);
    for (int y = 0; y < FRAME_HEIGHT; ++y) {
        for (int x = 0; x < FRAME_WIDTH; ++x) {
            const bool topLeft = x % 2 == 0 && y % 2 == 0;
            ASSERT_EQ(nv12[static_cast<size_t>(y) * FRAME_WIDTH + x], topLeft ? 16 : 235)
                << x << "," << y;
        }
    }
    for (size_t i = kLumaBytes; i < kNv12Bytes; ++i)
        ASSERT_EQ(nv12[i], 128) << i;
}

TEST_F(RGB2NV12Test, ChromaPairOfBlockTwoTwoFollowsTheFirstChromaRow) {
    // Pixel (2, 2) pure red, everything else black.
    Frame src(FRAME_BYTES, 0);
    src[3 * (2 * static_cast<size_t>(FRAME_WIDTH) + 2) + 2] = 255;
    const Nv12 nv12 = convert(src);
    EXPECT_EQ(nv12[2 * FRAME_WIDTH + 2], 82);
    EXPECT_EQ(nv12[921600 + 1282], 90);
    EXPECT_EQ(nv12[921601 + 1282], 240);
    for (size_t i = kLumaBytes; i < kNv12Bytes; i += 2) {
        if (i == 921600 + 1282)
            continue;
        ASSERT_EQ(nv12[i], 128) << i;
        ASSERT_EQ(nv12[i + 1], 128) << i;
    }
}

TEST_F(RGB2NV12Test, RandomFramesFollowTheIntegerFormulas) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 31);
    const Nv12 nv12 = convert(src);
    for (int y = 0; y < FRAME_HEIGHT; ++y) {
        for (int x = 0; x < FRAME_WIDTH; ++x) {
            const uint8_t* p = pixel(src, FRAME_WIDTH, x, y);
            const int b = p[0], g = p[1], r = p[2];
            // Floor division by 256 written out, independent of the shift.
            auto floorDiv = [](int v) { return v >= 0 ? v / 256 : -((-v + 255) / 256); };
            ASSERT_EQ(nv12[static_cast<size_t>(y) * FRAME_WIDTH + x],
                      floorDiv(66 * r + 129 * g + 25 * b + 128) + 16);
            if (x % 2 == 0 && y % 2 == 0) {
                const size_t o = kLumaBytes + static_cast<size_t>(y / 2) * FRAME_WIDTH + x;
                ASSERT_EQ(nv12[o], floorDiv(-38 * r - 74 * g + 112 * b + 128) + 128);
                ASSERT_EQ(nv12[o + 1], floorDiv(112 * r - 94 * g - 18 * b + 128) + 128);
            }
        }
    }
}

TEST_F(RGB2NV12Test, OddSizesWriteOnlyWholeBlocksChroma) {
    // 5 x 5: four chroma pairs, of the blocks at (0, 0), (2, 0), (0, 2) and (2, 2). The last
    // column and row have no pair of their own: column 4 must not spill onto the next
    // row's first pair, nor row 4 past the frame.
    const int width = 5, height = 5;
    const size_t size = width * height + 2 * (height / 2) * (width / 2);
    Frame src = uniformFrame(width, height, 0, 0, 255);  // red
    for (int y = 0; y < height; ++y)
        std::fill_n(&src[3 * (y * width + 4)], 3, 0);  // black
    for (int x = 0; x < 4; ++x)
        std::fill_n(&src[3 * (4 * width + x)], 3, 255);  // white
    const Nv12 nv12 = convert(src, width, height, size + 16);
    for (size_t i = width * height; i < size; i += 2) {
        EXPECT_EQ(nv12[i], 90) << i;
        EXPECT_EQ(nv12[i + 1], 240) << i;
    }
    for (size_t i = size; i < nv12.size(); ++i)
        EXPECT_EQ(nv12[i], 7) << "past the frame " << i;
    EXPECT_EQ(nv12[4], 16);               // luma of the black last column
    EXPECT_EQ(nv12[4 * width + 1], 235);  // and of the white last row
}

TEST_F(RGB2NV12Test, AGridOverTheTopHalfConvertsOnlyThatHalf) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 33);
    const Nv12 whole = convert(src);
    const Nv12 half = convert(src, FRAME_WIDTH, FRAME_HEIGHT, kNv12Bytes, dim3(80, 23));
    // 23 block rows cover rows 0..367: luma rows below 368 and chroma rows below 184.
    for (size_t i = 0; i < kNv12Bytes; ++i) {
        const bool covered =
            i < kLumaBytes ? i / FRAME_WIDTH < 368 : (i - kLumaBytes) / FRAME_WIDTH < 184;
        ASSERT_EQ(half[i], covered ? whole[i] : 7) << i;
    }
}

}  // namespace
}  // namespace camfx::test
