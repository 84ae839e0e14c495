// Host implementations of the pipeline's kernels: the host flavor runs them in place of the
// device code, and the GPU tests compare the device code against them. They compute what
// the kernels compute over the pixels a launch covers: columns [0, columns) and rows
// [0, rows), already clipped to the frame by the caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace camfx {

void hostNegative(const uint8_t* src, uint8_t* dst, int width, int columns, int rows);
void hostMirrorX(const uint8_t* src, uint8_t* dst, int width, int columns, int rows);
void hostSpiral(const uint8_t* src, uint8_t* dst, int width, int height, int columns, int rows,
                float centerX, float centerY, float time);
void hostRGB2NV12(const uint8_t* src, uint8_t* dst, int width, int height, int columns, int rows);

// The mosaic over the whole frame: every tile takes the mean of its pixels inside the frame.
// tile >= 1.
void hostMosaic(const uint8_t* src, uint8_t* dst, int width, int height, int tile);

// The surface behind a blit: texels of 4 bytes, rows of pitch bytes.
struct TexelRows {
    uint8_t* data;
    int width;
    int height;
    size_t pitch;
};

// Writes frame rows [0, rows), columns [0, columns) upright into the surface as RGBA.
// Returns false at the first texel that lies outside the surface (the trapping boundary
// mode); nothing is written after it.
bool hostBlitGl(const uint8_t* src, const TexelRows& surface, int width, int height, int columns,
                int rows);

}  // namespace camfx
