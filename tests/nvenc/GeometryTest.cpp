#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "EncoderTestSupport.h"

namespace {

// Expected geometry at width 1281, pitch 1536 and height 721, worked out by hand from the
// layout of each format (odd sizes so that every halving rounds up).
struct Layout {
    NV_ENC_BUFFER_FORMAT format;
    uint32_t widthInBytes;
    uint32_t chromaPlanes;
    uint32_t chromaPitch;
    uint32_t chromaHeight;
    uint32_t chromaWidthInBytes;
    std::vector<uint32_t> offsets;
};

constexpr uint32_t kW = 1281, kP = 1536, kH = 721;
constexpr uint32_t kLuma = kP * kH;  // 1107456

const std::vector<Layout>& Layouts() {
    static const std::vector<Layout> layouts = {
        {NV_ENC_BUFFER_FORMAT_NV12, 1281, 1, 1536, 361, 1281, {kLuma}},
        {NV_ENC_BUFFER_FORMAT_YV12, 1281, 2, 768, 361, 641, {kLuma, kLuma + 768 * 361}},
        {NV_ENC_BUFFER_FORMAT_IYUV, 1281, 2, 768, 361, 641, {kLuma, kLuma + 768 * 361}},
        {NV_ENC_BUFFER_FORMAT_YUV444, 1281, 2, 1536, 721, 1281, {kLuma, 2 * kLuma}},
        {NV_ENC_BUFFER_FORMAT_YUV420_10BIT, 2562, 1, 1536, 361, 2562, {kLuma}},
        {NV_ENC_BUFFER_FORMAT_YUV444_10BIT, 2562, 2, 1536, 721, 2562, {kLuma, 2 * kLuma}},
        {NV_ENC_BUFFER_FORMAT_ARGB, 5124, 0, 0, 0, 0, {}},
        {NV_ENC_BUFFER_FORMAT_ARGB10, 5124, 0, 0, 0, 0, {}},
        {NV_ENC_BUFFER_FORMAT_AYUV, 5124, 0, 0, 0, 0, {}},
        {NV_ENC_BUFFER_FORMAT_ABGR, 5124, 0, 0, 0, 0, {}},
        {NV_ENC_BUFFER_FORMAT_ABGR10, 5124, 0, 0, 0, 0, {}},
    };
    return layouts;
}

}  // namespace

TEST(GeometryTest, EveryValidFormatAtOddSizes) {
    ASSERT_EQ(Layouts().size(), 11u);
    for (const Layout& l : Layouts()) {
        SCOPED_TRACE(testing::Message() << "format 0x" << std::hex << l.format);
        EXPECT_EQ(NvEncoder::GetWidthInBytes(l.format, kW), l.widthInBytes);
        EXPECT_EQ(NvEncoder::GetNumChromaPlanes(l.format), l.chromaPlanes);
        EXPECT_EQ(NvEncoder::GetChromaPitch(l.format, kP), l.chromaPitch);
        EXPECT_EQ(NvEncoder::GetChromaHeight(l.format, kH), l.chromaHeight);
        EXPECT_EQ(NvEncoder::GetChromaWidthInBytes(l.format, kW), l.chromaWidthInBytes);
        std::vector<uint32_t> offsets = {7, 7, 7};  // emptied first
        NvEncoder::GetChromaSubPlaneOffsets(l.format, kP, kH, offsets);
        EXPECT_EQ(offsets, l.offsets);
        EXPECT_EQ(offsets.size(), l.chromaPlanes);
    }
}

TEST(GeometryTest, TheSystemsNv12Input) {
    EXPECT_EQ(NvEncoder::GetWidthInBytes(NV_ENC_BUFFER_FORMAT_NV12, 1280), 1280u);
    EXPECT_EQ(NvEncoder::GetNumChromaPlanes(NV_ENC_BUFFER_FORMAT_NV12), 1u);
    EXPECT_EQ(NvEncoder::GetChromaHeight(NV_ENC_BUFFER_FORMAT_NV12, 720), 360u);
    EXPECT_EQ(NvEncoder::GetChromaPitch(NV_ENC_BUFFER_FORMAT_NV12, 1536), 1536u);
    std::vector<uint32_t> offsets;
    NvEncoder::GetChromaSubPlaneOffsets(NV_ENC_BUFFER_FORMAT_NV12, 1536, 720, offsets);
    EXPECT_EQ(offsets, std::vector<uint32_t>{1536u * 720u});
    // The odd cases the layout rounds up.
    EXPECT_EQ(NvEncoder::GetChromaHeight(NV_ENC_BUFFER_FORMAT_NV12, 721), 361u);
    EXPECT_EQ(NvEncoder::GetChromaPitch(NV_ENC_BUFFER_FORMAT_YV12, 1281), 641u);
}

TEST(GeometryTest, UnsignedArithmeticWraps) {
    EXPECT_EQ(NvEncoder::GetWidthInBytes(NV_ENC_BUFFER_FORMAT_ARGB, 0x40000000u), 0u);
    EXPECT_EQ(NvEncoder::GetWidthInBytes(NV_ENC_BUFFER_FORMAT_YUV444_10BIT, 0x80000001u), 2u);
    // (x + 1) >> 1 on uint32: 0xFFFFFFFF + 1 wraps to 0.
    EXPECT_EQ(NvEncoder::GetChromaHeight(NV_ENC_BUFFER_FORMAT_NV12, 0xFFFFFFFFu), 0u);
    EXPECT_EQ(NvEncoder::GetChromaPitch(NV_ENC_BUFFER_FORMAT_IYUV, 0xFFFFFFFFu), 0u);
    std::vector<uint32_t> offsets;
    NvEncoder::GetChromaSubPlaneOffsets(NV_ENC_BUFFER_FORMAT_YUV444, 0x10000u, 0x10000u, offsets);
    EXPECT_EQ(offsets, (std::vector<uint32_t>{0u, 0u}));
}

TEST(GeometryTest, InvalidFormatsRaiseFromEveryFunction) {
    for (uint32_t value : {0x0u, 0x2u, 0x40000000u, 0x80000000u}) {
        SCOPED_TRACE(testing::Message() << "format 0x" << std::hex << value);
        const auto format = static_cast<NV_ENC_BUFFER_FORMAT>(value);
        std::vector<uint32_t> offsets = {1, 2};
        const std::pair<const char*, std::function<void()>> calls[] = {
            {"GetWidthInBytes", [&] { NvEncoder::GetWidthInBytes(format, 16); }},
            {"GetNumChromaPlanes", [&] { NvEncoder::GetNumChromaPlanes(format); }},
            {"GetChromaPitch", [&] { NvEncoder::GetChromaPitch(format, 16); }},
            {"GetChromaHeight", [&] { NvEncoder::GetChromaHeight(format, 16); }},
            {"GetChromaWidthInBytes", [&] { NvEncoder::GetChromaWidthInBytes(format, 16); }},
            {"GetChromaSubPlaneOffsets",
             [&] { NvEncoder::GetChromaSubPlaneOffsets(format, 16, 16, offsets); }},
        };
        std::set<std::string> places;  // each function raises from a line of its own
        for (const auto& [name, call] : calls) {
            EXPECT_TRUE(
                Raises(call, std::string("NvEncoder::") + name, "Invalid Buffer format", 8));
            try {
                call();
            } catch (const NVENCException& e) {
                const std::string text = e.what();
                places.insert(text.substr(text.rfind(" at ")));
            }
        }
        EXPECT_EQ(places.size(), std::size(calls));
        EXPECT_TRUE(offsets.empty());
    }
}

class FrameSizeTest : public EncoderTest {};

TEST_F(FrameSizeTest, TightlyPackedSizeAtTheEncodeSize) {
    struct Case {
        NV_ENC_BUFFER_FORMAT format;
        uint32_t width, height;
        int32_t size;
    };
    const Case cases[] = {
        {NV_ENC_BUFFER_FORMAT_NV12, 1280, 720, 1382400},
        {NV_ENC_BUFFER_FORMAT_NV12, 1280, 721, 1384960},
        {NV_ENC_BUFFER_FORMAT_YV12, 1281, 721, 1281 * (721 + 361)},
        {NV_ENC_BUFFER_FORMAT_IYUV, 2, 3, 2 * (3 + 2)},
        {NV_ENC_BUFFER_FORMAT_YUV444, 1281, 721, 3 * 1281 * 721},
        {NV_ENC_BUFFER_FORMAT_YUV420_10BIT, 1281, 721, 2 * 1281 * (721 + 361)},
        {NV_ENC_BUFFER_FORMAT_YUV444_10BIT, 1281, 721, 6 * 1281 * 721},
        {NV_ENC_BUFFER_FORMAT_ARGB, 1281, 721, 4 * 1281 * 721},
        {NV_ENC_BUFFER_FORMAT_ARGB10, 3, 5, 60},
        {NV_ENC_BUFFER_FORMAT_AYUV, 3, 5, 60},
        {NV_ENC_BUFFER_FORMAT_ABGR, 3, 5, 60},
        {NV_ENC_BUFFER_FORMAT_ABGR10, 3, 5, 60},
        // Signed 32-bit results wrap: 4 * 32768 * 16384 is 2^31.
        {NV_ENC_BUFFER_FORMAT_ARGB, 32768, 16384, INT32_MIN},
        // Height 0xFFFFFFFF is -1 as a signed value: (-1 + 1) / 2 adds nothing.
        {NV_ENC_BUFFER_FORMAT_NV12, 2, 0xFFFFFFFFu, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "format 0x" << std::hex << c.format << std::dec << " "
                                        << c.width << "x" << c.height);
        EXPECT_EQ(Make(EncoderOptions().Format(c.format).Size(c.width, c.height))->GetFrameSize(),
                  c.size);
    }
}

TEST_F(FrameSizeTest, InvalidFormatRaises) {
    auto encoder = Make(EncoderOptions().Format(static_cast<NV_ENC_BUFFER_FORMAT>(0x40000000)));
    EXPECT_TRUE(Raises([&] { encoder->GetFrameSize(); }, "NvEncoder::GetFrameSize",
                       "Invalid Buffer format", 8));
}
