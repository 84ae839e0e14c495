// Device code of the display blit: BGR frame rows to upright RGBA texels of a surface.
#include <cstdint>

#include "launch.h"
#include "pixel_formulas.h"
#include "thread_pixel.cuh"

__global__ void blitGl(const uint8_t* src, cudaSurfaceObject_t surface, int width, int height) {
    int x, y;
    if (!pixelOfThread(width, height, x, y)) {
        return;
    }
    const uint32_t texel = camfx::packTexel(src + 3 * (y * width + x));
    surf2Dwrite(texel, surface, 4 * x, camfx::flippedRow(y, height), cudaBoundaryModeTrap);
}

void launchBlitGl(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src,
                  cudaSurfaceObject_t surface, int width, int height) {
    blitGl<<<grid, block, 0, stream>>>(src, surface, width, height);
}
