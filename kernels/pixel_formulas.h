// Pixel formulas shared by the device kernels and their host implementations: each is
// written once here so that the GPU and the host reference cannot drift apart.
//
// The swirl uses the GPU's fast single-precision forms. On the host each fast form has
// its closest equivalent (noted per helper); the host results then agree with the GPU
// except where a source coordinate falls within a few thousandths of a pixel of a
// rounding boundary, which moves that pixel's source by one row or column.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#ifndef __CUDA_ARCH__
#include <cmath>
#include <cstring>
#endif

namespace camfx {

// The device constants `amplitude` and `frequency` hold these; the host uses them directly.
constexpr float kSwirlAmplitude = 0.1f;
constexpr float kSwirlFrequency = 0.1f;

__host__ __device__ inline float fusedMultiplyAdd(float a, float b, float c) {
#ifdef __CUDA_ARCH__
    return __fmaf_rn(a, b, c);
#else
    return __builtin_fmaf(a, b, c);
#endif
}

// A product that must stay rounded on its own, never contracted into a fused multiply-add.
__host__ __device__ inline float roundedProduct(float a, float b) {
#ifdef __CUDA_ARCH__
    return __fmul_rn(a, b);
#else
    return a * b;  // the host kernels are compiled with -ffp-contract=off
#endif
}

// The GPU divides by an approximate reciprocal; the host by the rounded one.
__host__ __device__ inline float fastDivide(float x, float y) {
#ifdef __CUDA_ARCH__
    return __fdividef(x, y);
#else
    return x * (1.0f / y);
#endif
}

// Correctly rounded on both sides, whatever fast-math flags the device code has.
__host__ __device__ inline float roundedSqrt(float v) {
#ifdef __CUDA_ARCH__
    return __fsqrt_rn(v);
#else
    return std::sqrt(v);
#endif
}

// Clamp to [0, 1]; not a number gives 0.
__host__ __device__ inline float saturate(float v) {
#ifdef __CUDA_ARCH__
    return __saturatef(v);
#else
    return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
#endif
}

// Round to nearest, ties to even (the host runs in the default rounding mode).
__host__ __device__ inline int roundToInt(float v) {
#ifdef __CUDA_ARCH__
    return __float2int_rn(v);
#else
    return static_cast<int>(std::nearbyint(v));
#endif
}

#ifndef __CUDA_ARCH__
// Host form of the hardware sine and cosine. The GPU scales the argument by the float
// nearest 1/(2 pi), rounding toward zero, and evaluates that fraction of a turn; doing the
// same keeps the phase that a large argument loses equal on both sides (at time 36000, an
// hour of running, one step of that rounding is 0.003 radians). The polynomials (Cephes
// sinf/cosf on |f| <= pi/4) are more accurate than the hardware (about 2^-21.4 absolute).
inline void hostSinCos(float x, float* sine, float* cosine) {
    // Quarter turns: 4 x float(1 / (2 pi)), so the scaling by 4 stays exact.
    const float scale = 0x1.45f306p-1f;
    float quarters = x * scale;
    // Round toward zero: step back when rounding to nearest went past the exact product.
    const float excess = std::fma(x, scale, -quarters);
    uint32_t bits;
    std::memcpy(&bits, &quarters, sizeof bits);
    bits -= (quarters != 0.0f && excess != 0.0f && (excess < 0.0f) != (quarters < 0.0f)) ? 1u : 0u;
    std::memcpy(&quarters, &bits, sizeof bits);

    const float q = std::nearbyint(quarters);
    const float f = (quarters - q) * 0x1.921fb6p+0f;  // |f| <= pi / 4
    const float z = f * f;
    const float s =
        f + f * z * (-1.6666654611e-1f + z * (8.3321608736e-3f + z * -1.9515295891e-4f));
    const float c =
        1.0f - 0.5f * z +
        z * z * (4.166664568298827e-2f + z * (-1.388731625493765e-3f + z * 2.443315711809948e-5f));
    // q mod 4, kept in floats so that no argument (not even NaN) reaches an integer cast.
    const float quadrant = q - 4.0f * std::floor(q * 0.25f);
    *sine = quadrant == 1.0f ? c : quadrant == 2.0f ? -s : quadrant == 3.0f ? -c : s;
    *cosine = quadrant == 1.0f ? -s : quadrant == 2.0f ? -c : quadrant == 3.0f ? s : c;
}
#endif

struct SourcePixel {
    int column;
    int row;
};

struct SwirlPolar {
    float radius;
    float angle;
};

// The swirl's angle of a point whose angle in the first quadrant (|dx|, |dy|) is `angle`,
// unfolded by the signs of dx and dy.
__host__ __device__ inline float unfoldedAngle(float angle, bool dxNegative, bool dyNegative) {
    angle = dxNegative ? 3.1415927f - angle : angle;
    return dyNegative ? -angle : angle;
}

// The half of the swirl that does not move with time: pixel (x, y)'s distance from the
// centre and its angle, atan2(dy, dx) by a minimax polynomial on the octant, then unfolded.
__host__ __device__ inline SwirlPolar swirlPolar(int x, int y, float centerX, float centerY) {
    const float dx = static_cast<float>(x) - centerX;
    const float dy = static_cast<float>(y) - centerY;
    const float r = roundedSqrt(fusedMultiplyAdd(dx, dx, roundedProduct(dy, dy)));

    const float ax = fabsf(dx);
    const float ay = fabsf(dy);
    const float hi = ax > ay ? ax : ay;
    const float lo = ax < ay ? ax : ay;
    const float q = hi > 0.0f ? fastDivide(lo, hi > 0.0f ? hi : 1.0f) : 0.0f;
    const float s = roundedProduct(q, q);
    float p = fusedMultiplyAdd(s, -0.046496473f, 0.15931422f);
    p = fusedMultiplyAdd(s, p, -0.32762277f);
    float a = fusedMultiplyAdd(q, roundedProduct(s, p), q);
    a = ax < ay ? 1.5707964f - a : a;
    return {r, unfoldedAngle(a, dx < 0.0f, dy < 0.0f)};
}

// The twist's phase at a distance from the centre, and its sine (the hardware's on the GPU).
__host__ __device__ inline float swirlPhase(float radius, float time, float frequency) {
    return fusedMultiplyAdd(radius, frequency, time);
}
__host__ __device__ inline float swirlSine(float phase) {
#ifdef __CUDA_ARCH__
    return __sinf(phase);
#else
    float sine, cosine;
    hostSinCos(phase, &sine, &cosine);
    return sine;
#endif
}

// The source pixel of the destination pixel at `polar`, turned by `amplitude` times
// `twist`, the sine of its phase.
__host__ __device__ inline SourcePixel swirlSourceTwisted(SwirlPolar polar, float twist, int width,
                                                          int height, float centerX, float centerY,
                                                          float amplitude) {
    const float r = polar.radius;
    const float b = fusedMultiplyAdd(amplitude, twist, polar.angle);
#ifdef __CUDA_ARCH__
    const float sx = fusedMultiplyAdd(r, __cosf(b), centerX);
    const float sy = fusedMultiplyAdd(r, __sinf(b), centerY);
#else
    float sinB, cosB;
    hostSinCos(b, &sinB, &cosB);
    const float sx = fusedMultiplyAdd(r, cosB, centerX);
    const float sy = fusedMultiplyAdd(r, sinB, centerY);
#endif

    const float lastColumn = static_cast<float>(width - 1);
    const float lastRow = static_cast<float>(height - 1);
    const float u = saturate(fastDivide(sx, lastColumn));
    const float v = saturate(fastDivide(sy, lastRow));
    return {roundToInt(u * lastColumn), roundToInt(v * lastRow)};
}

// The half that moves with time: the source pixel of the destination pixel at `polar`.
__host__ __device__ inline SourcePixel swirlSourceAt(SwirlPolar polar, int width, int height,
                                                     float centerX, float centerY, float time,
                                                     float amplitude, float frequency) {
    const float twist = swirlSine(swirlPhase(polar.radius, time, frequency));
    return swirlSourceTwisted(polar, twist, width, height, centerX, centerY, amplitude);
}

// The swirl's inverse mapping: the source pixel that destination pixel (x, y) copies.
__host__ __device__ inline SourcePixel swirlSource(int x, int y, int width, int height,
                                                   float centerX, float centerY, float time,
                                                   float amplitude, float frequency) {
    return swirlSourceAt(swirlPolar(x, y, centerX, centerY), width, height, centerX, centerY, time,
                         amplitude, frequency);
}

// The mirror's source column of destination column x: the same row, read right to left.
__host__ __device__ inline int mirroredColumn(int x, int width) {
    return width - 1 - x;
}

// The mosaic: the tile whose first pixel is (x0, y0) averages only its pixels inside the
// frame, and each channel takes the mean of its bytes, rounded down.
__host__ __device__ inline uint32_t tileCount(int x0, int y0, int tile, int width, int height) {
    const int columns = width - x0 < tile ? width - x0 : tile;
    const int rows = height - y0 < tile ? height - y0 : tile;
    return static_cast<uint32_t>(columns) * static_cast<uint32_t>(rows);
}
__host__ __device__ inline uint8_t tileMean(uint32_t sum, uint32_t count) {
    return static_cast<uint8_t>(static_cast<int32_t>(sum) / static_cast<int32_t>(count));
}

// The blit: a blue-green-red pixel as an opaque RGBA texel, red in the lowest byte of the
// word, and the texel row of frame row y. Texel row 0 is drawn at the bottom of the
// window, so the frame goes in upside down.
__host__ __device__ inline uint32_t packTexel(const uint8_t* bgr) {
    return static_cast<uint32_t>(bgr[2]) | static_cast<uint32_t>(bgr[1]) << 8 |
           static_cast<uint32_t>(bgr[0]) << 16 | 0xff000000u;
}
__host__ __device__ inline int flippedRow(int y, int height) {
    return height - 1 - y;
}

// ITU-R BT.601, limited range, 8-bit fixed point. The shifts are arithmetic (division by
// 256 rounded toward minus infinity); every result lies in range, so none is clamped.
__host__ __device__ inline uint8_t lumaBT601(int r, int g, int b) {
    return static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}
__host__ __device__ inline uint8_t blueDifferenceBT601(int r, int g, int b) {
    return static_cast<uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
}
__host__ __device__ inline uint8_t redDifferenceBT601(int r, int g, int b) {
    return static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}

// Byte offset of the (Cb, Cr) pair of the 2 x 2 block whose top-left pixel is (x, y).
__host__ __device__ inline int chromaOffset(int x, int y, int width, int height) {
    return width * height + 2 * ((y / 2) * (width / 2) + x / 2);
}

// Whether pixel (x, y), both even, heads a whole 2 x 2 block. For an odd width or height
// the last column or row has no chroma pair of its own: its pair would land on the next
// row's first pair or past the end of the frame.
__host__ __device__ inline bool headsChromaBlock(int x, int y, int width, int height) {
    return ((x | y) & 1) == 0 && x / 2 < width / 2 && y / 2 < height / 2;
}

}  // namespace camfx
