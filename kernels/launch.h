// Launch functions of the pipeline's kernels: the only code that knows how a kernel runs.
// The CUDA flavor launches device code with <<<grid, block, 0, stream>>>; the host flavor
// runs the host implementation over the pixels the grid covers. A configuration the runtime
// refuses runs nothing and reports nothing, in both flavors.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

// The mosaic chooses its own geometry: one block per tile, one thread per pixel of it. A
// tile below 1 or an empty frame runs nothing; a tile of more pixels than a block may have
// threads is refused.
void launchMosaic(cudaStream_t stream, const uint8_t* src, uint8_t* dst, int width, int height,
                  int tile);
void launchNegative(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                    int width, int height);
void launchMirrorX(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                   int width, int height);
void launchSpiral(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                  int width, int height, float centerX, float centerY, float time);
void launchBlitGl(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src,
                  cudaSurfaceObject_t surface, int width, int height);
void launchRGB2NV12(dim3 grid, dim3 block, cudaStream_t stream, const uint8_t* src, uint8_t* dst,
                    int width, int height);
