// Device code of the display blit: BGR frame rows to upright RGBA texels of a surface.
#include <cstdint>

#include "launch.h"
#include "pixel_formulas.h"

__global__ void blitGl(const uint8_t* src, cudaSurfaceObject_t surface, int width, int height) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) {
        return;
    }
    const uint32_t texel = camfx::packTexel(src + 3 * (y * width + x));
    surf2Dwrite(texel, surface, 4 * x, camfx::flippedRow(y, height), cudaBoundaryModeTrap);
}

void launchBlitGl(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src,
                  cudaSurfaceObject_t surface, int width, int height) {
    blitGl<<<grid, block, 0, stream>>>(src, surface, width, height);
}
