// Device code of the display blit: BGR frame rows to upright RGBA texels of a surface.
#include <cstdint>

#include "launch.h"

__global__ void blitGl(const uint8_t* src, cudaSurfaceObject_t surface, int width, int height) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) {
        return;
    }
    const int offset = 3 * (y * width + x);
    const uchar4 texel = make_uchar4(src[offset + 2], src[offset + 1], src[offset], 255);
    // Texture row 0 is drawn at the bottom of the window, so the frame goes in upside down.
    surf2Dwrite(texel, surface, 4 * x, height - 1 - y, cudaBoundaryModeTrap);
}

void launchBlitGl(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src,
                  cudaSurfaceObject_t surface, int width, int height) {
    blitGl<<<grid, block, 0, stream>>>(src, surface, width, height);
}
