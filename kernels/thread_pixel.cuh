// The pixel a thread of a two-dimensional launch works on, for the kernels that give each
// thread one pixel of a packed three-byte picture.
#pragma once

#include <cstdint>

// Edge blocks reach past the picture; their outside threads get false and do nothing.
__device__ inline bool pixelOfThread(int width, int height, int& x, int& y) {
    x = blockIdx.x * blockDim.x + threadIdx.x;
    y = blockIdx.y * blockDim.y + threadIdx.y;
    return x < width && y < height;
}

__device__ inline void copyPixel(const uint8_t* from, uint8_t* to) {
    to[0] = from[0];
    to[1] = from[1];
    to[2] = from[2];
}
