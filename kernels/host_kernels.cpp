#include "host_kernels.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "pixel_formulas.h"

// The swirl is arithmetic-bound: an AVX2/FMA clone lets the compiler vectorise its row
// loop (hardware fused multiply-adds); other processors run the portable clone. Not under
// ThreadSanitizer, whose instrumented clone resolver would run before its runtime starts.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_THREAD__)
#define CAMFX_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define CAMFX_VECTOR_CLONES
#endif

namespace camfx {

void hostNegative(const uint8_t* src, uint8_t* dst, int width, int columns, int rows) {
    const size_t stride = 3 * static_cast<size_t>(width);
    const size_t rowBytes = 3 * static_cast<size_t>(columns);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* in = src + y * stride;
        uint8_t* out = dst + y * stride;
        for (size_t i = 0; i < rowBytes; ++i) {
            out[i] = static_cast<uint8_t>(~in[i]);
        }
    }
}

void hostMirrorX(const uint8_t* src, uint8_t* dst, int width, int columns, int rows) {
    const size_t stride = 3 * static_cast<size_t>(width);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* in = src + y * stride + 3 * static_cast<size_t>(width - 1);
        uint8_t* out = dst + y * stride;
        for (int x = 0; x < columns; ++x) {
            out[3 * x] = in[-3 * x];
            out[3 * x + 1] = in[-3 * x + 1];
            out[3 * x + 2] = in[-3 * x + 2];
        }
    }
}

namespace {

// One row of swirl sources, kept free of gathers so that it vectorises.
CAMFX_VECTOR_CLONES
void swirlRow(int32_t* sources, int y, int width, int height, int columns, float centerX,
              float centerY, float time) {
    for (int x = 0; x < columns; ++x) {
        const SourcePixel p = swirlSource(x, y, width, height, centerX, centerY, time,
                                          kSwirlAmplitude, kSwirlFrequency);
        sources[x] = p.row * width + p.column;
    }
}

}  // namespace

void hostSpiral(const uint8_t* src, uint8_t* dst, int width, int height, int columns, int rows,
                float centerX, float centerY, float time) {
    if (columns <= 0) {
        return;
    }
    std::vector<int32_t> sources(columns);
    const int32_t lastPixel = width * height - 1;
    for (int y = 0; y < rows; ++y) {
        swirlRow(sources.data(), y, width, height, columns, centerX, centerY, time);
        uint8_t* out = dst + 3 * static_cast<size_t>(y) * width;
        // Pixels move as 4-byte words (the fourth byte is overwritten by the next pixel);
        // the row's last pixel and the frame's last source pixel move as 3 bytes.
        for (int x = 0; x < columns - 1; ++x) {
            const uint8_t* in = src + 3 * static_cast<size_t>(sources[x]);
            if (sources[x] < lastPixel) {
                std::memcpy(out + 3 * x, in, 4);
            } else {
                std::memcpy(out + 3 * x, in, 3);
            }
        }
        std::memcpy(out + 3 * (columns - 1), src + 3 * static_cast<size_t>(sources[columns - 1]),
                    3);
    }
}

void hostRGB2NV12(const uint8_t* src, uint8_t* dst, int width, int height, int columns, int rows) {
    for (int y = 0; y < rows; ++y) {
        const uint8_t* in = src + 3 * static_cast<size_t>(y) * width;
        uint8_t* luma = dst + static_cast<size_t>(y) * width;
        for (int x = 0; x < columns; ++x) {
            luma[x] = lumaBT601(in[3 * x + 2], in[3 * x + 1], in[3 * x]);
        }
        if (!headsChromaBlock(0, y, width, height)) {
            continue;
        }
        uint8_t* chroma = dst + chromaOffset(0, y, width, height);
        const int pairs = std::min((columns + 1) / 2, width / 2);
        for (int i = 0; i < pairs; ++i) {
            const uint8_t* p = in + 6 * i;
            chroma[2 * i] = blueDifferenceBT601(p[2], p[1], p[0]);
            chroma[2 * i + 1] = redDifferenceBT601(p[2], p[1], p[0]);
        }
    }
}

void hostMosaic(const uint8_t* src, uint8_t* dst, int width, int height, int tile, unsigned gridX,
                unsigned gridY, unsigned blockX, unsigned blockY) {
    if (tile < 1 || width <= 0 || height <= 0) {
        return;
    }
    // Blocks that start beyond the frame own no pixel inside it.
    const long long t = tile;
    const long long blocksX = std::min<long long>(gridX, (width + t - 1) / t);
    const long long blocksY = std::min<long long>(gridY, (height + t - 1) / t);
    if (blocksX <= 0 || blocksY <= 0) {
        return;
    }
    // Columns any block reaches; each band of rows is reduced to per-column sums first,
    // so that every tile's sum is a handful of additions.
    const long long reach = std::min<long long>(width, (blocksX - 1) * t + blockX);
    std::vector<uint32_t> columnSums(3 * reach);
    std::vector<uint8_t> tileRow(3 * static_cast<size_t>(blockX));
    const size_t stride = 3 * static_cast<size_t>(width);

    for (long long by = 0; by < blocksY; ++by) {
        const long long y0 = by * t;
        const long long y1 = std::min<long long>(height, y0 + blockY);
        const uint32_t countY = static_cast<uint32_t>(std::min<long long>(height - y0, t));
        std::fill(columnSums.begin(), columnSums.end(), 0u);
        for (long long y = y0; y < y1; ++y) {
            const uint8_t* in = src + y * stride;
            for (long long i = 0; i < 3 * reach; ++i) {
                columnSums[i] += in[i];
            }
        }
        for (long long bx = 0; bx < blocksX; ++bx) {
            const long long x0 = bx * t;
            const long long x1 = std::min<long long>(width, x0 + blockX);
            const uint32_t count =
                static_cast<uint32_t>(std::min<long long>(width - x0, t)) * countY;
            uint32_t sums[3] = {0, 0, 0};
            for (long long x = x0; x < x1; ++x) {
                sums[0] += columnSums[3 * x];
                sums[1] += columnSums[3 * x + 1];
                sums[2] += columnSums[3 * x + 2];
            }
            const size_t pixels = static_cast<size_t>(x1 - x0);
            for (size_t i = 0; i < pixels; ++i) {
                for (int c = 0; c < 3; ++c) {
                    tileRow[3 * i + c] = static_cast<uint8_t>(static_cast<int32_t>(sums[c]) /
                                                              static_cast<int32_t>(count));
                }
            }
            for (long long y = y0; y < y1; ++y) {
                std::memcpy(dst + y * stride + 3 * x0, tileRow.data(), 3 * pixels);
            }
        }
    }
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "texels are assembled as words");

bool hostBlitGl(const uint8_t* src, const TexelRows& surface, int width, int height, int columns,
                int rows) {
    const int inside = std::min(columns, std::max(surface.width, 0));
    for (int y = 0; y < rows; ++y) {
        const int row = height - 1 - y;
        if (row < 0 || row >= surface.height) {
            return false;
        }
        const uint8_t* in = src + 3 * static_cast<size_t>(y) * width;
        uint8_t* out = surface.data + static_cast<size_t>(row) * surface.pitch;
        // Whole texels as words, so that the loop vectorises: red in the lowest byte.
        for (int x = 0; x < inside; ++x) {
            const uint32_t texel =
                in[3 * x + 2] | in[3 * x + 1] << 8 | in[3 * x] << 16 | 0xff000000u;
            std::memcpy(out + 4 * x, &texel, 4);
        }
        if (inside < columns) {
            return false;
        }
    }
    return true;
}

}  // namespace camfx
