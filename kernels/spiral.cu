// Device code of the swirl. This file is compiled with denormals flushed to zero; the
// fast division, sine and cosine are spelled out as intrinsics in the shared formula.
#include <cstdint>

#include "launch.h"
#include "pixel_formulas.h"

__constant__ float amplitude = camfx::kSwirlAmplitude;
__constant__ float frequency = camfx::kSwirlFrequency;

__global__ void spiral(const uint8_t* src, uint8_t* dst, int width, int height, float centerX,
                       float centerY, float time) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) {
        return;
    }
    const camfx::SourcePixel p =
        camfx::swirlSource(x, y, width, height, centerX, centerY, time, amplitude, frequency);
    const int64_t in = 3 * static_cast<int64_t>(p.row * width + p.column);
    const int64_t out = 3 * static_cast<int64_t>(y * width + x);
    dst[out] = src[in];
    dst[out + 1] = src[in + 1];
    dst[out + 2] = src[in + 2];
}

void launchSpiral(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                  int width, int height, float centerX, float centerY, float time) {
    spiral<<<grid, block, 0, stream>>>(src, dst, width, height, centerX, centerY, time);
}
