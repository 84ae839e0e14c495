// Device code of the mosaic, negative and mirror effects, with their launch functions.
#include <cstdint>

#include "launch.h"
#include "mosaic_shape.h"
#include "pixel_formulas.h"
#include "thread_pixel.cuh"

__global__ void mosaic(const uint8_t* src, uint8_t* dst, int width, int height, int tile) {
    // In spite of the names, sr sums byte 0 (blue) and sb byte 2 (red).
    __shared__ unsigned int sr, sg, sb, count;
    const int px = blockIdx.x * tile + threadIdx.x;
    const int py = blockIdx.y * tile + threadIdx.y;
    if (threadIdx.x == 0 && threadIdx.y == 0) {
        sr = 0;
        sg = 0;
        sb = 0;
        // Thread (0, 0) holds the tile's first pixel. Only blocks that own a pixel inside
        // the frame use the count.
        count = camfx::tileCount(px, py, tile, width, height);
    }
    __syncthreads();
    const bool inside = px < width && py < height;
    const int offset = 3 * (py * width + px);
    if (inside) {
        atomicAdd(&sr, static_cast<unsigned>(src[offset]));
        atomicAdd(&sg, static_cast<unsigned>(src[offset + 1]));
        atomicAdd(&sb, static_cast<unsigned>(src[offset + 2]));
    }
    __syncthreads();
    if (inside) {
        dst[offset] = camfx::tileMean(sr, count);
        dst[offset + 1] = camfx::tileMean(sg, count);
        dst[offset + 2] = camfx::tileMean(sb, count);
    }
}

__global__ void negative(const uint8_t* src, uint8_t* dst, int width, int height) {
    int x, y;
    if (!pixelOfThread(width, height, x, y)) {
        return;
    }
    const int offset = 3 * (y * width + x);
    dst[offset] = ~src[offset];
    dst[offset + 1] = ~src[offset + 1];
    dst[offset + 2] = ~src[offset + 2];
}

__global__ void mirrorX(const uint8_t* src, uint8_t* dst, int width, int height) {
    int x, y;
    if (!pixelOfThread(width, height, x, y)) {
        return;
    }
    copyPixel(src + 3 * (y * width + camfx::mirroredColumn(x, width)), dst + 3 * (y * width + x));
}

// A refused configuration is left to the runtime: it runs nothing, and the error it
// records is never queried, as in the host flavor.
void launchMosaic(cudaStream_t stream, const uint8_t* src, uint8_t* dst, int width, int height,
                  int tile) {
    if (const auto shape = camfx::mosaicShape(width, height, tile)) {
        mosaic<<<shape->grid, shape->block, 0, stream>>>(src, dst, width, height, tile);
    }
}

void launchNegative(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                    int width, int height) {
    negative<<<grid, block, 0, stream>>>(src, dst, width, height);
}

void launchMirrorX(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                   int width, int height) {
    mirrorX<<<grid, block, 0, stream>>>(src, dst, width, height);
}
