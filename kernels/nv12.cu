// Device code of the BGR to NV12 conversion that feeds the encoder.
#include <cstdint>

#include "launch.h"
#include "pixel_formulas.h"
#include "thread_pixel.cuh"

__global__ void RGB2NV12(const uint8_t* src, uint8_t* dst, int width, int height) {
    int x, y;
    if (!pixelOfThread(width, height, x, y)) {
        return;
    }
    const int i = y * width + x;
    const int b = src[3 * i];
    const int g = src[3 * i + 1];
    const int r = src[3 * i + 2];
    dst[i] = camfx::lumaBT601(r, g, b);
    // Chroma is point-sampled from the top-left pixel of each 2 x 2 block.
    if (camfx::headsChromaBlock(x, y, width, height)) {
        const int o = camfx::chromaOffset(x, y, width, height);
        dst[o] = camfx::blueDifferenceBT601(r, g, b);
        dst[o + 1] = camfx::redDifferenceBT601(r, g, b);
    }
}

void launchRGB2NV12(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                    int width, int height) {
    RGB2NV12<<<grid, block, 0, stream>>>(src, dst, width, height);
}
