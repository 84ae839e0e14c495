// The application's recording path end to end: NvEncoderCuda over the software encoder,
// with the application's request, read back by FFmpeg.

#include <cuda.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "EncoderLoader.h"
#include "NvEncoder/NvEncoderCuda.h"
#include "recording_request.h"
#include "stream_check.h"

using namespace swenc_test;

namespace {

using Packets = std::vector<std::vector<uint8_t>>;

// Exposes the ring the wrapper sized, so the test can hold it to its lag.
class ProbedEncoder : public NvEncoderCuda {
  public:
    using NvEncoderCuda::NvEncoderCuda;
    int32_t OutputLag() const { return m_nOutputLag; }
    int32_t RingSize() const { return m_nEncoderBuffer; }
};

void Quiet(camfx::nvenc::EncoderLogLevel, const char*) {}

class RecordingPath : public ::testing::Test {
  protected:
    void SetUp() override {
        camfx::nvenc::SetEncoderLogSink(&Quiet);
        CreateContext(&m_context);
    }
    void TearDown() override {
        m_encoder.reset();
        if (m_nv12) {
            cuMemFree(m_nv12);
        }
        if (m_context) {
            cuCtxDestroy(m_context);
        }
        camfx::nvenc::SetEncoderLogSink(nullptr);
    }

    // The recording set-up: the encoder and the session as the application asks.
    void CreateEncoder(GUID codec = NV_ENC_CODEC_HEVC_GUID) {
        if (!m_encoder) {
            m_encoder = std::make_unique<ProbedEncoder>(
                m_context, kWidth, kHeight, NV_ENC_BUFFER_FORMAT_NV12, 3, false, false, true);
        }
        RequestRecording(*m_encoder, codec);
        if (!m_nv12) {
            ASSERT_EQ(cuMemAlloc(&m_nv12, size_t(m_encoder->GetFrameSize())), CUDA_SUCCESS);
        }
    }

    // The encoding thread's copy of pattern frame n into the encoder's next input buffer.
    void FillNextSlot(int n) {
        UploadNv12(m_nv12, kWidth, PatternNv12(n));
        const EncoderInputFrame* slot = m_encoder->NextInputSlot();
        NvEncoderCuda::CopyToDeviceFrame(m_context, reinterpret_cast<const void*>(m_nv12), 0,
                                         slot->bufferPtr, slot->lumaPitch, kWidth, kHeight,
                                         CU_MEMORYTYPE_DEVICE, slot->format, slot->planeOffsets,
                                         slot->planeCount);
    }

    // The encoding thread's step for pattern frame n.
    Packets EncodePattern(int n) {
        FillNextSlot(n);
        Packets packets;
        m_encoder->EncodeFrame(packets);
        return packets;
    }

    CUcontext m_context = nullptr;
    CUdeviceptr m_nv12 = 0;
    std::unique_ptr<ProbedEncoder> m_encoder;
};

TEST_F(RecordingPath, ApplicationRequestRecordsOnePlayableStream) {
    CreateEncoder();
    // P3 low latency: P interval 1, no lookahead, plus the application's extra delay 3.
    ASSERT_EQ(m_encoder->RingSize(), 4);
    const int lag = m_encoder->OutputLag();
    ASSERT_EQ(lag, 3);

    constexpr int kFrames = 120;
    std::vector<uint8_t> file;
    int packetCount = 0;
    for (int n = 0; n < kFrames; ++n) {
        Packets packets = EncodePattern(n);
        // The wrapper holds `lag` pictures back, then returns exactly one a call.
        ASSERT_EQ(packets.size(), n < lag ? 0u : 1u) << "frame " << n;
        for (const auto& packet : packets) {
            EXPECT_FALSE(packet.empty());
            // One stream: the pictures in flight never make the encoder drain early.
            EXPECT_EQ(StartsWithVps(packet), packetCount == 0) << "packet " << packetCount;
            Append(&file, packet);
            ++packetCount;
        }
    }
    Packets rest;
    m_encoder->EndEncode(rest);
    EXPECT_EQ(rest.size(), size_t(lag));
    for (const auto& packet : rest) {
        Append(&file, packet);
        ++packetCount;
    }
    EXPECT_EQ(packetCount, kFrames);
    Packets again;
    m_encoder->EndEncode(again);
    EXPECT_TRUE(again.empty());
    m_encoder->CloseEncoder();

    const std::string probe = ExpectPatternStream(file, kFrames, "record");
    for (const char* field :
         {"profile=Main\n", "width=1280\n", "height=720\n", "r_frame_rate=30/1\n"}) {
        EXPECT_NE(probe.find(field), std::string::npos) << probe;
    }
}

TEST_F(RecordingPath, SessionNeverGivenAPictureGivesAnEmptyStream) {
    CreateEncoder();
    Packets packets = {{1, 2, 3}};
    m_encoder->EndEncode(packets);
    EXPECT_TRUE(packets.empty());
    m_encoder->CloseEncoder();
}

TEST_F(RecordingPath, AnUnknownCodecIsRefusedAndTheSameEncoderThenRecordsHevc) {
    const GUID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    try {
        CreateEncoder(unknown);
        FAIL() << "an unknown codec was accepted";
    } catch (const NVENCException& e) {
        EXPECT_EQ(e.ErrorCode(), NV_ENC_ERR_INVALID_PARAM) << e.what();
    }
    CreateEncoder();
    const int lag = m_encoder->OutputLag();
    std::vector<uint8_t> file;
    for (int n = 0; n < 5; ++n) {
        for (const auto& packet : EncodePattern(n)) {
            Append(&file, packet);
        }
    }
    Packets rest;
    m_encoder->EndEncode(rest);
    EXPECT_EQ(rest.size(), size_t(lag));
    for (const auto& packet : rest) {
        Append(&file, packet);
    }
    ExpectPatternStream(file, 5, "retry");
}

// Through x265 and back: every packet carries its own picture's time, however long the
// encoder holds it; with a key frame every 10 pictures those come out as key frames.
TEST_F(RecordingPath, TimedPacketsKeepTheirPicturesTimesAndKeyFrames) {
    m_encoder = std::make_unique<ProbedEncoder>(m_context, kWidth, kHeight,
                                                NV_ENC_BUFFER_FORMAT_NV12, 3, false, false, true);
    NV_ENC_INITIALIZE_PARAMS init{};
    NV_ENC_CONFIG config{};
    init.version = NV_ENC_INITIALIZE_PARAMS_VER;
    config.version = NV_ENC_CONFIG_VER;
    init.encodeConfig = &config;
    m_encoder->CreateDefaultEncoderParams(&init, NV_ENC_CODEC_HEVC_GUID, NV_ENC_PRESET_P3_GUID,
                                          NV_ENC_TUNING_INFO_LOW_LATENCY);
    config.gopLength = 10;
    config.encodeCodecConfig.hevcConfig.idrPeriod = 10;
    m_encoder->CreateEncoder(&init);
    ASSERT_EQ(cuMemAlloc(&m_nv12, size_t(m_encoder->GetFrameSize())), CUDA_SUCCESS);

    // Uneven times, as a camera that drops frames gives them.
    const auto timeOf = [](int n) { return uint64_t(n) * 40000 + uint64_t(n % 3) * 7000; };
    std::vector<NvEncOutputPacket> all, packets;
    for (int n = 0; n < 25; ++n) {
        FillNextSlot(n);
        m_encoder->EncodeFrame(packets, timeOf(n));
        all.insert(all.end(), packets.begin(), packets.end());
    }
    m_encoder->EndEncode(packets);
    all.insert(all.end(), packets.begin(), packets.end());
    m_encoder->CloseEncoder();
    ASSERT_EQ(all.size(), 25u);
    for (int n = 0; n < 25; ++n) {
        EXPECT_EQ(all[n].timeStamp, timeOf(n)) << "picture " << n;
        const bool intra =
            all[n].pictureType == NV_ENC_PIC_TYPE_IDR || all[n].pictureType == NV_ENC_PIC_TYPE_I;
        EXPECT_EQ(intra, n % 10 == 0) << "picture " << n;
    }
}

}  // namespace
