#include "host_kernels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pixel_formulas.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CAMFX_AVX2 1
#endif

// AVX-512 and AVX2/FMA clones let the compiler vectorise the swirl's row loop (hardware fused
// multiply-adds; the 16-lane clone took the swirl from about 4.4 to 3.4 ms of processor time
// a frame on the 2-core machine) and the mosaic's column sums; other processors run the
// portable clone. All clones compute the same bits. Not under ThreadSanitizer, whose
// instrumented clone resolver would run before its runtime starts.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define CAMFX_VECTOR_CLONES \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define CAMFX_VECTOR_CLONES
#endif

namespace camfx {

namespace {

#ifdef CAMFX_AVX2
// Byte shuffles of packed blue-green-red pixels run 8 to 16 at a time with AVX2 where the
// processor has it (GCC's own vectoriser makes slow work of 3-byte pixels); the plain loops
// finish each row and run everywhere else. Both compute the same bytes.
const bool kHasAvx2 = __builtin_cpu_supports("avx2");

// Texels of pixels [0, n) of a row, 8 at a time; returns how many it wrote (a multiple
// of 8 such that no read passes the row's n pixels).
__attribute__((target("avx2"))) int blitRowAvx2(const uint8_t* in, uint8_t* out, int n) {
    // Within each 16-byte lane: pixels 0-3 from bytes 0-11, to red, green, blue, alpha.
    const __m256i order = _mm256_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1, 2,
                                           1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xff000000u));
    int x = 0;
    // Pixels x..x+7 read bytes 3x..3x+27 (two 16-byte loads at 3x and 3x+12).
    for (; 3 * x + 28 <= 3 * n; x += 8) {
        const __m256i pixels =
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(in + 3 * x + 12),
                                reinterpret_cast<const __m128i*>(in + 3 * x));
        const __m256i texels = _mm256_or_si256(_mm256_shuffle_epi8(pixels, order), alpha);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x), texels);
    }
    return x;
}

// Pixels [0, n) of a row of `width` pixels in reverse order: destination pixel x is source
// pixel width - 1 - x. Five pixels (15 bytes) per step; the 16th byte stored is the next
// pixel's first, which the next step rewrites. Returns the pixels done: it stops where a
// store would pass pixel n - 1 or a load would start before the row.
__attribute__((target("avx2"))) int mirrorRowAvx2(const uint8_t* in, int width, uint8_t* out,
                                                  int n) {
    // The 16 bytes loaded end with source pixel width - 1 - x; byte 0 belongs to the pixel
    // before the five. Destination pixel j (0..4) takes loaded pixel 4 - j, at 1 + 3 (4 - j).
    const __m128i order = _mm_setr_epi8(13, 14, 15, 10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3, -1);
    int x = 0;
    for (; 3 * x + 16 <= 3 * n; x += 5) {
        const long from = 3L * (width - 5 - x) - 1;
        if (from < 0)
            break;
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + from));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm_shuffle_epi8(pixels, order));
    }
    return x;
}

// Destination pixels [0, n) of a row from the source pixels `sources` names, 8 at a time by
// gathering each pixel as a 4-byte word; returns the pixels done. A group whose words would
// reach past the frame's last byte (a source of `lastPixel`) is left to the plain loop, as
// is the end of the row, where a store would pass pixel n - 1.
__attribute__((target("avx2"))) int gatherRowAvx2(const uint8_t* src, const int32_t* sources,
                                                  int32_t lastPixel, uint8_t* out, int n) {
    // Within each 16-byte lane: the three bytes of each of its four words, packed.
    const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                          1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i last = _mm256_set1_epi32(lastPixel);
    const __m256i three = _mm256_set1_epi32(3);
    int x = 0;
    // The second 16-byte store of pixels x..x+7 ends at byte 3x + 28.
    for (; 3 * x + 28 <= 3 * n; x += 8) {
        const __m256i index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sources + x));
        if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(last, index)) != -1)
            break;
        const __m256i words = _mm256_i32gather_epi32(reinterpret_cast<const int*>(src),
                                                     _mm256_mullo_epi32(index, three), 1);
        const __m256i packed = _mm256_shuffle_epi8(words, pack);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm256_castsi256_si128(packed));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x + 12),
                         _mm256_extracti128_si256(packed, 1));
    }
    return x;
}

const bool kHasAvx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");

// The same, 16 pixels at a time with AVX-512: a masked store writes exactly their 48 bytes.
__attribute__((target("avx512f,avx512bw"))) int gatherRowAvx512(const uint8_t* src,
                                                                const int32_t* sources,
                                                                int32_t lastPixel, uint8_t* out,
                                                                int n) {
    const __m512i pack = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    // The 12 packed bytes of each 16-byte lane, moved together.
    const __m512i together = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0, 0, 0, 0);
    const __m512i last = _mm512_set1_epi32(lastPixel);
    const __m512i three = _mm512_set1_epi32(3);
    int x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m512i index = _mm512_loadu_si512(sources + x);
        if (_mm512_cmpge_epi32_mask(index, last) != 0)
            break;
        const __m512i words = _mm512_i32gather_epi32(_mm512_mullo_epi32(index, three), src, 1);
        const __m512i packed = _mm512_permutexvar_epi32(together, _mm512_shuffle_epi8(words, pack));
        _mm512_mask_storeu_epi32(out + 3 * x, 0x0FFF, packed);
    }
    return x;
}

// Byte shuffles that gather one channel of 16 pixels out of their 48 bytes, loaded as
// three 16-byte parts: masks[channel][part][i] picks pixel i's byte of that channel if it
// lies in that part (byte 3i + channel), else zero.
struct Deinterleave {
    alignas(16) int8_t masks[3][3][16];
    constexpr Deinterleave() : masks() {
        for (int channel = 0; channel < 3; ++channel)
            for (int part = 0; part < 3; ++part)
                for (int i = 0; i < 16; ++i) {
                    const int at = 3 * i + channel - 16 * part;
                    masks[channel][part][i] = at >= 0 && at < 16 ? static_cast<int8_t>(at) : -1;
                }
    }
};
constexpr Deinterleave kDeinterleave;

// One channel of 16 pixels, widened to 16-bit lanes.
__attribute__((target("avx2"))) inline __m256i channel16(const __m128i parts[3], int channel) {
    const auto mask = [channel](int part) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(kDeinterleave.masks[channel][part]));
    };
    const __m128i bytes = _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(parts[0], mask(0)), _mm_shuffle_epi8(parts[1], mask(1))),
        _mm_shuffle_epi8(parts[2], mask(2)));
    return _mm256_cvtepu8_epi16(bytes);
}

__attribute__((target("avx2"))) inline __m256i times(int16_t k, __m256i v) {
    return _mm256_mullo_epi16(_mm256_set1_epi16(k), v);
}

// 16-bit lanes to bytes, in order.
__attribute__((target("avx2"))) inline __m128i packBytes(__m256i v) {
    return _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// Luma of pixels [0, n) and, with chroma non-null, the (Cb, Cr) pairs of the first `pairs`
// even pixels, 16 pixels at a time; returns the pixels done (their pairs are done too).
// The sums stay within 16 bits: luma 128..56228 unsigned, chroma -28432..28688 signed.
__attribute__((target("avx2"))) int nv12RowAvx2(const uint8_t* in, uint8_t* luma, uint8_t* chroma,
                                                int n, int pairs) {
    int x = 0;
    for (; x + 16 <= n && (chroma == nullptr || x / 2 + 8 <= pairs); x += 16) {
        const __m128i parts[3] = {
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x + 16)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x + 32))};
        const __m256i blue = channel16(parts, 0);
        const __m256i green = channel16(parts, 1);
        const __m256i red = channel16(parts, 2);

        __m256i y = _mm256_add_epi16(_mm256_add_epi16(times(66, red), times(129, green)),
                                     _mm256_add_epi16(times(25, blue), _mm256_set1_epi16(128)));
        y = _mm256_add_epi16(_mm256_srli_epi16(y, 8), _mm256_set1_epi16(16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(luma + x), packBytes(y));
        if (chroma == nullptr)
            continue;

        __m256i cb = _mm256_add_epi16(_mm256_sub_epi16(times(112, blue), times(38, red)),
                                      _mm256_sub_epi16(_mm256_set1_epi16(128), times(74, green)));
        __m256i cr = _mm256_add_epi16(_mm256_sub_epi16(times(112, red), times(94, green)),
                                      _mm256_sub_epi16(_mm256_set1_epi16(128), times(18, blue)));
        cb = _mm256_add_epi16(_mm256_srai_epi16(cb, 8), _mm256_set1_epi16(128));
        cr = _mm256_add_epi16(_mm256_srai_epi16(cr, 8), _mm256_set1_epi16(128));
        // Each 16-bit lane holds (Cb, Cr) of its pixel; the even pixels' lanes are the low
        // halves of the 32-bit lanes.
        const __m256i pairsOfAll = _mm256_or_si256(cb, _mm256_slli_epi16(cr, 8));
        const __m256i even = _mm256_and_si256(pairsOfAll, _mm256_set1_epi32(0xffff));
        const __m128i packed =
            _mm_packus_epi32(_mm256_castsi256_si128(even), _mm256_extracti128_si256(even, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma + x), packed);
    }
    return x;
}
#endif

}  // namespace

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
        const uint8_t* in = src + y * stride;
        uint8_t* out = dst + y * stride;
        int x = 0;
#ifdef CAMFX_AVX2
        if (kHasAvx2)
            x = mirrorRowAvx2(in, width, out, columns);
#endif
        for (; x < columns; ++x) {
            std::memcpy(out + 3 * x, in + 3 * static_cast<size_t>(mirroredColumn(x, width)), 3);
        }
    }
}

namespace {

// The swirl's polar coordinates, computed once per geometry and thread and reused by every
// frame after: only the twist moves with time. The twist depends on the distance alone, and
// a frame has about ten times fewer distinct distances than pixels, so each frame takes the
// sine once per distance. Arrays rather than pairs, so that the loops vectorise.
struct SwirlTables {
    std::vector<float> radius, angle;
    std::vector<float> radii;          // the distinct distances, ascending
    std::vector<int32_t> radiusIndex;  // each point's distance among them
};

// Distances are never negative, so their bit patterns sort as they do (NaN, from a NaN
// centre, sorts last and keeps its own entry).
uint32_t bitsOf(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

void indexDistances(SwirlTables& tables) {
    const size_t points = tables.radius.size();
    std::vector<uint32_t> distinct(points);
    for (size_t i = 0; i < points; ++i) {
        distinct[i] = bitsOf(tables.radius[i]);
    }
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    tables.radii.resize(distinct.size());
    std::memcpy(tables.radii.data(), distinct.data(), distinct.size() * sizeof(float));
    tables.radiusIndex.resize(points);
    for (size_t i = 0; i < points; ++i) {
        tables.radiusIndex[i] = static_cast<int32_t>(
            std::lower_bound(distinct.begin(), distinct.end(), bitsOf(tables.radius[i])) -
            distinct.begin());
    }
}

// With the centre on a pixel inside the launch, a point's distance and first-quadrant angle
// depend on |dx| and |dy| alone: one quadrant's table serves all four, a quarter of the
// memory that every frame reads. Otherwise the table has one entry per pixel.
struct SwirlGeometry {
    int width = 0, height = 0, columns = 0, rows = 0;
    float centerX = 0.0f, centerY = 0.0f;
    bool quadrant = false;
    int centerColumn = 0, centerRow = 0;  // the centre's pixel, in the quadrant form
    int span = 0;                         // entries per table row
    SwirlTables tables;

    bool matches(int w, int h, int c, int r, float cx, float cy) const {
        return width == w && height == h && columns == c && rows == r &&
               std::memcmp(&centerX, &cx, sizeof cx) == 0 &&
               std::memcmp(&centerY, &cy, sizeof cy) == 0;
    }
};

CAMFX_VECTOR_CLONES
void polarRow(float* radius, float* angle, int x0, int y, int count, float centerX, float centerY) {
    for (int i = 0; i < count; ++i) {
        const SwirlPolar p = swirlPolar(x0 + i, y, centerX, centerY);
        radius[i] = p.radius;
        angle[i] = p.angle;
    }
}

// The centre's pixel when the centre is one inside [0, extent), else -1.
int pixelCentre(float centre, int extent) {
    return centre >= 0.0f && centre < static_cast<float>(extent) &&
                   centre == static_cast<float>(static_cast<int>(centre))
               ? static_cast<int>(centre)
               : -1;
}

const SwirlGeometry& swirlGeometry(int width, int height, int columns, int rows, float centerX,
                                   float centerY) {
    thread_local SwirlGeometry geometry;
    if (geometry.matches(width, height, columns, rows, centerX, centerY)) {
        return geometry;
    }
    geometry.width = width, geometry.height = height;
    geometry.columns = columns, geometry.rows = rows;
    geometry.centerX = centerX, geometry.centerY = centerY;
    geometry.centerColumn = pixelCentre(centerX, columns);
    geometry.centerRow = pixelCentre(centerY, rows);
    geometry.quadrant = geometry.centerColumn >= 0 && geometry.centerRow >= 0;
    // The quadrant's points are (centre + |dx|, centre + |dy|), where no angle is unfolded.
    const int x0 = geometry.quadrant ? geometry.centerColumn : 0;
    const int y0 = geometry.quadrant ? geometry.centerRow : 0;
    geometry.span = geometry.quadrant ? std::max(x0 + 1, columns - x0) : columns;
    const int tableRows = geometry.quadrant ? std::max(y0 + 1, rows - y0) : rows;
    SwirlTables& tables = geometry.tables;
    const size_t points = static_cast<size_t>(geometry.span) * tableRows;
    tables.radius.resize(points);
    tables.angle.resize(points);
    for (int i = 0; i < tableRows; ++i) {
        const size_t row = static_cast<size_t>(i) * geometry.span;
        polarRow(&tables.radius[row], &tables.angle[row], x0, y0 + i, geometry.span, centerX,
                 centerY);
    }
    indexDistances(tables);
    return geometry;
}

CAMFX_VECTOR_CLONES
void twistTable(float* twist, const float* radii, size_t count, float time) {
    for (size_t i = 0; i < count; ++i) {
        twist[i] = swirlSine(swirlPhase(radii[i], time, kSwirlFrequency));
    }
}

// Each table entry's twist, so that the row loops read it in order rather than gather it.
CAMFX_VECTOR_CLONES
void pointTwists(float* twists, const float* twist, const int32_t* radiusIndex, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        twists[i] = twist[radiusIndex[i]];
    }
}

inline int32_t sourceIndex(float radius, float angle, float twist, int width, int height,
                           float centerX, float centerY) {
    const SourcePixel p = swirlSourceTwisted({radius, angle}, twist, width, height, centerX,
                                             centerY, kSwirlAmplitude);
    return p.row * width + p.column;
}

// One row of swirl sources from its table row, one entry per pixel.
CAMFX_VECTOR_CLONES
void swirlRow(int32_t* sources, const float* radius, const float* angle, const float* twist,
              int width, int height, int columns, float centerX, float centerY) {
    for (int x = 0; x < columns; ++x) {
        sources[x] = sourceIndex(radius[x], angle[x], twist[x], width, height, centerX, centerY);
    }
}

// The sources of `count` pixels in a row of the quadrant form: table entries from `first` on,
// read right to left for the pixels left of the centre.
template <bool kDxNegative, bool kDyNegative>
[[gnu::always_inline]] inline void swirlRun(int32_t* sources, const float* radius,
                                            const float* angle, const float* twist, int count,
                                            int width, int height, float centerX, float centerY) {
    constexpr int step = kDxNegative ? -1 : 1;
    for (int i = 0; i < count; ++i) {
        sources[i] =
            sourceIndex(radius[step * i], unfoldedAngle(angle[step * i], kDxNegative, kDyNegative),
                        twist[step * i], width, height, centerX, centerY);
    }
}

// One row of swirl sources from its quadrant table row: the columns left of the centre read
// it right to left and unfold their angle across the vertical axis.
CAMFX_VECTOR_CLONES
void swirlQuadrantRow(int32_t* sources, const float* radius, const float* angle, const float* twist,
                      bool dyNegative, int centerColumn, int width, int height, int columns,
                      float centerX, float centerY) {
    const int right = columns - centerColumn;
    const size_t c = static_cast<size_t>(centerColumn);
    if (dyNegative) {
        swirlRun<true, true>(sources, radius + c, angle + c, twist + c, centerColumn, width, height,
                             centerX, centerY);
        swirlRun<false, true>(sources + c, radius, angle, twist, right, width, height, centerX,
                              centerY);
    } else {
        swirlRun<true, false>(sources, radius + c, angle + c, twist + c, centerColumn, width,
                              height, centerX, centerY);
        swirlRun<false, false>(sources + c, radius, angle, twist, right, width, height, centerX,
                               centerY);
    }
}

// Destination pixels [0, columns) of a row from the source pixels `sources` names. Pixels
// move as 4-byte words (the fourth byte is overwritten by the next pixel); the row's last
// pixel and the frame's last source pixel move as 3 bytes.
void copySources(const uint8_t* src, const int32_t* sources, int32_t lastPixel, uint8_t* out,
                 int columns) {
    int x = 0;
#ifdef CAMFX_AVX2
    if (kHasAvx2) {
        // A group holding the frame's last source pixel stops the gathers; the plain loop
        // takes that group and the gathers resume after it.
        while (x < columns - 1) {
            if (kHasAvx512)
                x += gatherRowAvx512(src, sources + x, lastPixel, out + 3 * x, columns - x);
            x += gatherRowAvx2(src, sources + x, lastPixel, out + 3 * x, columns - x);
            const int plainEnd = std::min(x + 8, columns - 1);
            for (; x < plainEnd; ++x) {
                const uint8_t* in = src + 3 * static_cast<size_t>(sources[x]);
                std::memcpy(out + 3 * x, in, sources[x] < lastPixel ? 4 : 3);
            }
        }
    }
#endif
    for (; x < columns - 1; ++x) {
        const uint8_t* in = src + 3 * static_cast<size_t>(sources[x]);
        std::memcpy(out + 3 * x, in, sources[x] < lastPixel ? 4 : 3);
    }
    std::memcpy(out + 3 * (columns - 1), src + 3 * static_cast<size_t>(sources[columns - 1]), 3);
}

}  // namespace

void hostSpiral(const uint8_t* src, uint8_t* dst, int width, int height, int columns, int rows,
                float centerX, float centerY, float time) {
    if (columns <= 0 || rows <= 0) {
        return;
    }
    const SwirlGeometry& geometry = swirlGeometry(width, height, columns, rows, centerX, centerY);
    const SwirlTables& tables = geometry.tables;
    thread_local std::vector<float> twist, twists;
    thread_local std::vector<int32_t> sources;
    twist.resize(tables.radii.size());
    twistTable(twist.data(), tables.radii.data(), twist.size(), time);
    twists.resize(tables.radiusIndex.size());
    pointTwists(twists.data(), twist.data(), tables.radiusIndex.data(), twists.size());
    sources.resize(columns);
    const int32_t lastPixel = width * height - 1;
    for (int y = 0; y < rows; ++y) {
        if (geometry.quadrant) {
            const size_t row =
                static_cast<size_t>(std::abs(y - geometry.centerRow)) * geometry.span;
            swirlQuadrantRow(sources.data(), &tables.radius[row], &tables.angle[row], &twists[row],
                             y < geometry.centerRow, geometry.centerColumn, width, height, columns,
                             centerX, centerY);
        } else {
            const size_t row = static_cast<size_t>(y) * columns;
            swirlRow(sources.data(), &tables.radius[row], &tables.angle[row], &twists[row], width,
                     height, columns, centerX, centerY);
        }
        copySources(src, sources.data(), lastPixel, dst + 3 * static_cast<size_t>(y) * width,
                    columns);
    }
}

void hostRGB2NV12(const uint8_t* src, uint8_t* dst, int width, int height, int columns, int rows) {
    for (int y = 0; y < rows; ++y) {
        const uint8_t* in = src + 3 * static_cast<size_t>(y) * width;
        uint8_t* luma = dst + static_cast<size_t>(y) * width;
        const bool hasChroma = headsChromaBlock(0, y, width, height);
        uint8_t* chroma = hasChroma ? dst + chromaOffset(0, y, width, height) : nullptr;
        const int pairs = hasChroma ? std::min((columns + 1) / 2, width / 2) : 0;
        int done = 0;
#ifdef CAMFX_AVX2
        if (kHasAvx2)
            done = nv12RowAvx2(in, luma, chroma, columns, pairs);
#endif
        for (int x = done; x < columns; ++x) {
            luma[x] = lumaBT601(in[3 * x + 2], in[3 * x + 1], in[3 * x]);
        }
        if (!hasChroma) {
            continue;
        }
        for (int i = done / 2; i < pairs; ++i) {
            const uint8_t* p = in + 6 * i;
            chroma[2 * i] = blueDifferenceBT601(p[2], p[1], p[0]);
            chroma[2 * i + 1] = redDifferenceBT601(p[2], p[1], p[0]);
        }
    }
}

namespace {

// The mosaic's column sums, the bulk of its work: wide vectors where the processor has them.
CAMFX_VECTOR_CLONES
void addBytes(uint32_t* sums, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        sums[i] += bytes[i];
    }
}

}  // namespace

void hostMosaic(const uint8_t* src, uint8_t* dst, int width, int height, int tile) {
    if (tile < 1 || width <= 0 || height <= 0) {
        return;
    }
    const long long t = tile;
    const long long blocksX = (width + t - 1) / t;
    const long long blocksY = (height + t - 1) / t;
    const size_t stride = 3 * static_cast<size_t>(width);
    // Each band of rows is reduced to per-column sums first, so that every tile's sum is a
    // handful of additions. Kept from frame to frame: the frame loop allocates nothing.
    // A band's output rows are all alike: one is built and copied whole, rather than a
    // tile's few bytes at a time.
    thread_local std::vector<uint32_t> columnSums;
    thread_local std::vector<uint8_t> bandRow;
    columnSums.resize(stride);
    bandRow.resize(stride);

    // A whole tile of a power-of-two count (8 x 8) takes its means by a shift.
    const uint32_t wholeTileCount = static_cast<uint32_t>(t * t);
    const bool shiftable = t <= 256 && (wholeTileCount & (wholeTileCount - 1)) == 0;
    const int wholeTileShift = shiftable ? __builtin_ctz(wholeTileCount) : 0;
    for (long long by = 0; by < blocksY; ++by) {
        const long long y0 = by * t;
        const long long y1 = std::min<long long>(height, y0 + t);
        std::fill(columnSums.begin(), columnSums.end(), 0u);
        for (long long y = y0; y < y1; ++y) {
            addBytes(columnSums.data(), src + y * stride, stride);
        }
        for (long long bx = 0; bx < blocksX; ++bx) {
            const long long x0 = bx * t;
            const long long x1 = std::min<long long>(width, x0 + t);
            const uint32_t count =
                tileCount(static_cast<int>(x0), static_cast<int>(y0), tile, width, height);
            uint32_t sums[3] = {0, 0, 0};
            for (long long x = x0; x < x1; ++x) {
                sums[0] += columnSums[3 * x];
                sums[1] += columnSums[3 * x + 1];
                sums[2] += columnSums[3 * x + 2];
            }
            // Sums are never negative, so the shift rounds down as the division does.
            const bool whole = shiftable && count == wholeTileCount;
            const uint8_t mean[3] = {
                whole ? static_cast<uint8_t>(sums[0] >> wholeTileShift) : tileMean(sums[0], count),
                whole ? static_cast<uint8_t>(sums[1] >> wholeTileShift) : tileMean(sums[1], count),
                whole ? static_cast<uint8_t>(sums[2] >> wholeTileShift) : tileMean(sums[2], count)};
            for (long long x = x0; x < x1; ++x) {
                std::memcpy(&bandRow[3 * x], mean, 3);
            }
        }
        for (long long y = y0; y < y1; ++y) {
            std::memcpy(dst + y * stride, bandRow.data(), stride);
        }
    }
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "texels are stored as words");

bool hostBlitGl(const uint8_t* src, const TexelRows& surface, int width, int height, int columns,
                int rows) {
    const int inside = std::min(columns, std::max(surface.width, 0));
    for (int y = 0; y < rows; ++y) {
        const int row = flippedRow(y, height);
        if (row < 0 || row >= surface.height) {
            return false;
        }
        const uint8_t* in = src + 3 * static_cast<size_t>(y) * width;
        uint8_t* out = surface.data + static_cast<size_t>(row) * surface.pitch;
        int x = 0;
#ifdef CAMFX_AVX2
        if (kHasAvx2)
            x = blitRowAvx2(in, out, inside);
#endif
        for (; x < inside; ++x) {
            const uint32_t texel = packTexel(in + 3 * x);
            std::memcpy(out + 4 * x, &texel, 4);
        }
        if (inside < columns) {
            return false;
        }
    }
    return true;
}

}  // namespace camfx
