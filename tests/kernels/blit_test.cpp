// The display blit in the host flavor: BGR frame to upright RGBA texels of a surface.
#include <cuda_host.h>
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include "frame.h"
#include "frames.h"
#include "launch.h"

namespace camfx::test {
namespace {

const dim3 kGrid(80, 45);
const dim3 kBlock(16, 16);

// A test surface with its texels, released at the end of the test.
class Surface {
  public:
    Surface(int width, int height) : handle_(cudahost::createTestSurface(width, height)) {}
    ~Surface() { cudahost::destroyTestSurface(handle_); }
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;

    cudaSurfaceObject_t handle() const { return handle_; }
    const uint8_t* texel(int column, int row) const {
        cudahost::SurfaceView view;
        if (!cudahost::surfaceView(handle_, &view))
            return nullptr;
        return view.data + row * view.pitch + 4 * static_cast<size_t>(column);
    }

  private:
    cudaSurfaceObject_t handle_;
};

class BlitGlTest : public ::testing::Test {
  protected:
    void SetUp() override { cudaGetLastError(); }
};

TEST_F(BlitGlTest, SwapsToRedGreenBlueWithOpaqueAlpha) {
    const Frame src = uniformFrame(FRAME_WIDTH, FRAME_HEIGHT, 10, 20, 30);
    Surface surface(FRAME_WIDTH, FRAME_HEIGHT);
    ASSERT_NE(surface.handle(), 0u);
    launchBlitGl(kGrid, kBlock, 0, src.data(), surface.handle(), FRAME_WIDTH, FRAME_HEIGHT);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (int row = 0; row < FRAME_HEIGHT; ++row) {
        for (int column = 0; column < FRAME_WIDTH; ++column) {
            const uint8_t* t = surface.texel(column, row);
            ASSERT_EQ(t[0], 30);
            ASSERT_EQ(t[1], 20);
            ASSERT_EQ(t[2], 10);
            ASSERT_EQ(t[3], 255);
        }
    }
}

TEST_F(BlitGlTest, TurnsTheFrameUprightWithAlphaAlways255) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 21);
    Surface surface(FRAME_WIDTH, FRAME_HEIGHT);
    launchBlitGl(kGrid, kBlock, 0, src.data(), surface.handle(), FRAME_WIDTH, FRAME_HEIGHT);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (int y = 0; y < FRAME_HEIGHT; ++y) {
        for (int x = 0; x < FRAME_WIDTH; ++x) {
            const uint8_t* p = pixel(src, FRAME_WIDTH, x, y);
            const uint8_t* t = surface.texel(x, FRAME_HEIGHT - 1 - y);
            ASSERT_EQ(t[0], p[2]) << x << "," << y;
            ASSERT_EQ(t[1], p[1]) << x << "," << y;
            ASSERT_EQ(t[2], p[0]) << x << "," << y;
            ASSERT_EQ(t[3], 255) << x << "," << y;
        }
    }
    // Rows whose width is no multiple of the 8 texels written at once: the last ones too.
    const int width = 1283, height = 3;
    const Frame odd = randomFrame(width, height, 22);
    Surface narrow(width, height);
    launchBlitGl(dim3(81, 1), kBlock, 0, odd.data(), narrow.handle(), width, height);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = pixel(odd, width, x, y);
            const uint8_t* t = narrow.texel(x, height - 1 - y);
            ASSERT_TRUE(t[0] == p[2] && t[1] == p[1] && t[2] == p[0] && t[3] == 255)
                << x << "," << y;
        }
    }
    // The corners named by the display: top-left to the last texel row and back.
    const uint8_t* topLeft = surface.texel(0, 719);
    EXPECT_EQ(topLeft[2], pixel(src, FRAME_WIDTH, 0, 0)[0]);
    const uint8_t* bottomRight = surface.texel(1279, 0);
    EXPECT_EQ(bottomRight[0], pixel(src, FRAME_WIDTH, 1279, 719)[2]);
}

TEST_F(BlitGlTest, ThreadsBeyondTheFrameWriteNothing) {
    // A 16 x 8 frame into a 20 x 12 surface with a grid of 32 x 32 threads: the frame lands
    // in rows 0..7, columns 0..15; every other texel keeps its zeros.
    const int width = 16, height = 8;
    const Frame src = uniformFrame(width, height, 1, 2, 3);
    Surface surface(20, 12);
    launchBlitGl(dim3(2, 2), kBlock, 0, src.data(), surface.handle(), width, height);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (int row = 0; row < 12; ++row) {
        for (int column = 0; column < 20; ++column) {
            const uint8_t* t = surface.texel(column, row);
            const bool written = column < width && row < height;
            EXPECT_EQ(t[3], written ? 255 : 0) << column << "," << row;
            EXPECT_EQ(t[0], written ? 3 : 0) << column << "," << row;
        }
    }
}

TEST_F(BlitGlTest, ASurfaceSmallerThanTheFrameIsALaunchFailure) {
    const Frame src = randomFrame(FRAME_WIDTH, FRAME_HEIGHT, 22);
    for (const auto [width, height] :
         {std::pair{FRAME_WIDTH, FRAME_HEIGHT - 1}, std::pair{FRAME_WIDTH - 1, FRAME_HEIGHT}}) {
        Surface surface(width, height);
        launchBlitGl(kGrid, kBlock, 0, src.data(), surface.handle(), FRAME_WIDTH, FRAME_HEIGHT);
        EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure) << width << "x" << height;
    }
}

TEST_F(BlitGlTest, TheTrapEndsTheLaunch) {
    // One row too few: frame row 0 would go to texel row 719, outside; the trap comes
    // before any texel is written, as frame rows are written from the top.
    const Frame src = uniformFrame(FRAME_WIDTH, FRAME_HEIGHT, 1, 2, 3);
    Surface surface(FRAME_WIDTH, FRAME_HEIGHT - 1);
    launchBlitGl(kGrid, kBlock, 0, src.data(), surface.handle(), FRAME_WIDTH, FRAME_HEIGHT);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    for (int row = 0; row < FRAME_HEIGHT - 1; ++row) {
        ASSERT_EQ(surface.texel(0, row)[3], 0) << row;
    }
}

TEST_F(BlitGlTest, RefusedConfigurationsRunNothing) {
    const Frame src = uniformFrame(FRAME_WIDTH, FRAME_HEIGHT, 1, 2, 3);
    Surface surface(FRAME_WIDTH, FRAME_HEIGHT);
    for (const auto& [grid, block] :
         {std::pair{dim3(0, 45), kBlock}, {kGrid, dim3(32, 33)}, {kGrid, dim3(16, 0)}}) {
        launchBlitGl(grid, block, 0, src.data(), surface.handle(), FRAME_WIDTH, FRAME_HEIGHT);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    }
    EXPECT_EQ(surface.texel(0, 0)[3], 0);
    EXPECT_EQ(surface.texel(1279, 719)[3], 0);
}

TEST_F(BlitGlTest, HalfAGridWritesHalfTheTexels) {
    const Frame src = uniformFrame(FRAME_WIDTH, FRAME_HEIGHT, 1, 2, 3);
    Surface surface(FRAME_WIDTH, FRAME_HEIGHT);
    launchBlitGl(dim3(40, 45), kBlock, 0, src.data(), surface.handle(), FRAME_WIDTH, FRAME_HEIGHT);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (int row = 0; row < FRAME_HEIGHT; ++row) {
        for (int column = 0; column < FRAME_WIDTH; ++column) {
            ASSERT_EQ(surface.texel(column, row)[3], column < 640 ? 255 : 0)
                << column << "," << row;
        }
    }
}

TEST_F(BlitGlTest, AnUnknownSurfaceIsALaunchFailure) {
    const Frame src = uniformFrame(16, 16, 1, 2, 3);
    launchBlitGl(dim3(1, 1), kBlock, 0, src.data(), 987654321ull, 16, 16);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
}

}  // namespace
}  // namespace camfx::test
