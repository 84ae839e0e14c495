// Device code of the swirl. This file is compiled with denormals flushed to zero; the
// fast division, sine and cosine are spelled out as intrinsics in the shared formula.
#include <cstdint>

#include "launch.h"
#include "pixel_formulas.h"
#include "thread_pixel.cuh"

__constant__ float amplitude = camfx::kSwirlAmplitude;
__constant__ float frequency = camfx::kSwirlFrequency;

__global__ void spiral(const uint8_t* src, uint8_t* dst, int width, int height, float centerX,
                       float centerY, float time) {
    int x, y;
    if (!pixelOfThread(width, height, x, y)) {
        return;
    }
    const camfx::SourcePixel p =
        camfx::swirlSource(x, y, width, height, centerX, centerY, time, amplitude, frequency);
    copyPixel(src + 3 * static_cast<int64_t>(p.row * width + p.column),
              dst + 3 * static_cast<int64_t>(y * width + x));
}

void launchSpiral(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                  int width, int height, float centerX, float centerY, float time) {
    spiral<<<grid, block, 0, stream>>>(src, dst, width, height, centerX, centerY, time);
}
