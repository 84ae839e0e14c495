// Host-flavor launch functions: the same configuration rules as the runtime, then one job
// on the stream that runs the host implementation over the pixels the grid covers.
#include <cuda_host.h>

#include <algorithm>

#include "host_kernels.h"
#include "launch.h"
#include "mosaic_shape.h"

namespace {

// The extent of a launch inside a frame: the grid covers columns [0, grid.x * block.x)
// and rows [0, grid.y * block.y), and threads beyond the frame do nothing.
struct Cover {
    int columns;
    int rows;
};

Cover cover(dim3 grid, dim3 block, int width, int height) {
    const long long columns =
        std::min<long long>(width, static_cast<long long>(cudahost::coveredColumns(grid, block)));
    const long long rows =
        std::min<long long>(height, static_cast<long long>(cudahost::coveredRows(grid, block)));
    return {static_cast<int>(std::max(columns, 0LL)), static_cast<int>(std::max(rows, 0LL))};
}

// Runs work(cover) on the stream where the runtime accepts the configuration.
template <typename Work>
void launchOver(dim3 grid, dim3 block, cudaStream_t stream, int width, int height, Work work) {
    if (!cudahost::launchConfigValid(grid, block)) {
        return;
    }
    const Cover c = cover(grid, block, width, height);
    cudahost::enqueue(stream, [=] { work(c); });
}

}  // namespace

void launchMosaic(cudaStream_t stream, const uint8_t* src, uint8_t* dst, int width, int height,
                  int tile) {
    const auto shape = camfx::mosaicShape(width, height, tile);
    if (!shape || !cudahost::launchConfigValid(shape->grid, shape->block)) {
        return;
    }
    cudahost::enqueue(stream, [=] { camfx::hostMosaic(src, dst, width, height, tile); });
}

void launchNegative(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                    int width, int height) {
    launchOver(grid, block, stream, width, height,
               [=](Cover c) { camfx::hostNegative(src, dst, width, c.columns, c.rows); });
}

void launchMirrorX(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                   int width, int height) {
    launchOver(grid, block, stream, width, height,
               [=](Cover c) { camfx::hostMirrorX(src, dst, width, c.columns, c.rows); });
}

void launchSpiral(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                  int width, int height, float centerX, float centerY, float time) {
    launchOver(grid, block, stream, width, height, [=](Cover c) {
        camfx::hostSpiral(src, dst, width, height, c.columns, c.rows, centerX, centerY, time);
    });
}

void launchBlitGl(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src,
                  cudaSurfaceObject_t surface, int width, int height) {
    if (!cudahost::launchConfigValid(grid, block)) {
        return;
    }
    const Cover c = cover(grid, block, width, height);
    if (c.columns == 0 || c.rows == 0) {
        return;  // no thread writes, so not even an unknown surface is touched
    }
    cudahost::enqueue(stream, [=] {
        cudahost::SurfaceView view;
        if (!cudahost::surfaceView(surface, &view)) {
            cudahost::setLastError(cudaErrorLaunchFailure);
            return;
        }
        const camfx::TexelRows texels{view.data, view.width, view.height, view.pitch};
        // A write outside the surface traps: the launch ends with a launch failure.
        if (!camfx::hostBlitGl(src, texels, width, height, c.columns, c.rows)) {
            cudahost::setLastError(cudaErrorLaunchFailure);
        }
    });
}

void launchRGB2NV12(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                    int width, int height) {
    launchOver(grid, block, stream, width, height,
               [=](Cover c) { camfx::hostRGB2NV12(src, dst, width, height, c.columns, c.rows); });
}
