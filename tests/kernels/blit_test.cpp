// The display blit: BGR frame to upright RGBA texels of a surface.
#include "frame.h"
#include "kernel_suite.h"
#include "launch.h"

namespace camfx::test {
namespace {

class BlitGlTest : public KernelTest {
  protected:
    // Blits src (width x height) with the given grid and reads the surface back.
    static void blit(const Frame& src, int width, int height, dim3 grid, TestSurface& surface) {
        run(src, 0, 0, [&](const uint8_t* s, uint8_t*) {
            launchBlitGl(grid, kBlock, 0, s, surface.handle(), width, height);
        });
        surface.read();
    }
};

TEST_F(BlitGlTest, SwapsToRedGreenBlueWithOpaqueAlpha) {
    const Frame src = uniformFrame(FRAME_WIDTH, FRAME_HEIGHT, 10, 20, 30);
    TestSurface surface(FRAME_WIDTH, FRAME_HEIGHT);
    ASSERT_NE(surface.handle(), 0u);
    blit(src, FRAME_WIDTH, FRAME_HEIGHT, kGrid, surface);
    for (int row = 0; row < FRAME_HEIGHT; ++row) {
        for (int column = 0; column < FRAME_WIDTH; ++column) {
            const uint8_t* t = surface.at(column, row);
            ASSERT_EQ(t[0], 30);
            ASSERT_EQ(t[1], 20);
            ASSERT_EQ(t[2], 10);
            ASSERT_EQ(t[3], 255);
        }
    }
}

TEST_F(BlitGlTest, TurnsTheFrameUprightWithAlphaAlways255) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 21);
    TestSurface surface(FRAME_WIDTH, FRAME_HEIGHT);
    blit(src, FRAME_WIDTH, FRAME_HEIGHT, kGrid, surface);
    for (int y = 0; y < FRAME_HEIGHT; ++y) {
        for (int x = 0; x < FRAME_WIDTH; ++x) {
            const uint8_t* p = pixel(src, FRAME_WIDTH, x, y);
            const uint8_t* t = surface.at(x, FRAME_HEIGHT - 1 - y);
            ASSERT_EQ(t[0], p[2]) << x << "," << y;
            ASSERT_EQ(t[1], p[1]) << x << "," << y;
            ASSERT_EQ(t[2], p[0]) << x << "," << y;
            ASSERT_EQ(t[3], 255) << x << "," << y;
        }
    }
    // Rows whose width is no multiple of the 8 texels written at once: the last ones too.
    const int width = 1283, height = 3;
    const Frame odd = randomFrame(width, height, 22);
    TestSurface narrow(width, height);
    blit(odd, width, height, dim3(81, 1), narrow);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = pixel(odd, width, x, y);
            const uint8_t* t = narrow.at(x, height - 1 - y);
            ASSERT_TRUE(t[0] == p[2] && t[1] == p[1] && t[2] == p[0] && t[3] == 255)
                << x << "," << y;
        }
    }
    // The corners named by the display: top-left to the last texel row and back.
    EXPECT_EQ(surface.at(0, 719)[2], pixel(src, FRAME_WIDTH, 0, 0)[0]);
    EXPECT_EQ(surface.at(1279, 0)[0], pixel(src, FRAME_WIDTH, 1279, 719)[2]);
}

TEST_F(BlitGlTest, ThreadsBeyondTheFrameWriteNothing) {
    // A 16 x 8 frame into a 20 x 12 surface with a grid of 32 x 32 threads: the frame lands
    // in rows 0..7, columns 0..15; every other texel keeps its zeros.
    const int width = 16, height = 8;
    const Frame src = uniformFrame(width, height, 1, 2, 3);
    TestSurface surface(20, 12);
    blit(src, width, height, dim3(2, 2), surface);
    for (int row = 0; row < 12; ++row) {
        for (int column = 0; column < 20; ++column) {
            const uint8_t* t = surface.at(column, row);
            const bool written = column < width && row < height;
            EXPECT_EQ(t[3], written ? 255 : 0) << column << "," << row;
            EXPECT_EQ(t[0], written ? 3 : 0) << column << "," << row;
        }
    }
}

TEST_F(BlitGlTest, HalfAGridWritesHalfTheTexels) {
    const Frame src = uniformFrame(FRAME_WIDTH, FRAME_HEIGHT, 1, 2, 3);
    TestSurface surface(FRAME_WIDTH, FRAME_HEIGHT);
    blit(src, FRAME_WIDTH, FRAME_HEIGHT, dim3(40, 45), surface);
    for (int row = 0; row < FRAME_HEIGHT; ++row) {
        for (int column = 0; column < FRAME_WIDTH; ++column) {
            ASSERT_EQ(surface.at(column, row)[3], column < 640 ? 255 : 0) << column << "," << row;
        }
    }
}

}  // namespace
}  // namespace camfx::test
