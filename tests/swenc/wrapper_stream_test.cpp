// The application's recording path end to end: NvEncoderCuda over the software encoder,
// with the application's request, read back by FFmpeg.

#include <cuda.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "NvEncoder/NvEncoderCuda.h"
#include "SoftwareEncoder.h"
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

void Quiet(const char*) {}

class RecordingPath : public ::testing::Test {
  protected:
    void SetUp() override {
        camfxSetEncoderInfoSink(&Quiet);
        ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
        CUdevice device;
        ASSERT_EQ(cuDeviceGet(&device, 0), CUDA_SUCCESS);
        ASSERT_EQ(cuCtxCreate(&m_context, nullptr, 0, device), CUDA_SUCCESS);
    }
    void TearDown() override {
        m_encoder.reset();
        if (m_nv12) {
            cuMemFree(m_nv12);
        }
        if (m_context) {
            cuCtxDestroy(m_context);
        }
        camfxSetEncoderInfoSink(nullptr);
    }

    // The recording set-up: the encoder and the session as the application asks.
    void CreateEncoder(GUID codec = NV_ENC_CODEC_HEVC_GUID) {
        if (!m_encoder) {
            m_encoder = std::make_unique<ProbedEncoder>(
                m_context, kWidth, kHeight, NV_ENC_BUFFER_FORMAT_NV12, 3, false, false, true);
        }
        NV_ENC_INITIALIZE_PARAMS init = {};
        NV_ENC_CONFIG config = {};
        init.version = NV_ENC_INITIALIZE_PARAMS_VER;
        config.version = NV_ENC_CONFIG_VER;
        init.encodeConfig = &config;
        m_encoder->CreateDefaultEncoderParams(&init, codec, NV_ENC_PRESET_P3_GUID,
                                              NV_ENC_TUNING_INFO_LOW_LATENCY);
        m_encoder->CreateEncoder(&init);
        if (!m_nv12) {
            ASSERT_EQ(cuMemAlloc(&m_nv12, size_t(m_encoder->GetFrameSize())), CUDA_SUCCESS);
        }
    }

    // The encoding thread's step for pattern frame n.
    Packets EncodePattern(int n) {
        const std::vector<uint8_t> picture = PatternNv12(n);
        CUDA_MEMCPY2D upload = {};
        upload.srcMemoryType = CU_MEMORYTYPE_HOST;
        upload.srcHost = picture.data();
        upload.srcPitch = kWidth;
        upload.dstMemoryType = CU_MEMORYTYPE_DEVICE;
        upload.dstDevice = m_nv12;
        upload.dstPitch = kWidth;
        upload.WidthInBytes = kWidth;
        upload.Height = kHeight * 3 / 2;
        EXPECT_EQ(cuMemcpy2D(&upload), CUDA_SUCCESS);

        const EncoderInputFrame* slot = m_encoder->NextInputSlot();
        NvEncoderCuda::CopyToDeviceFrame(m_context, reinterpret_cast<const void*>(m_nv12), 0,
                                         slot->bufferPtr, slot->lumaPitch, kWidth, kHeight,
                                         CU_MEMORYTYPE_DEVICE, slot->format, slot->planeOffsets,
                                         slot->planeCount);
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
            file.insert(file.end(), packet.begin(), packet.end());
            ++packetCount;
        }
    }
    Packets rest;
    m_encoder->EndEncode(rest);
    EXPECT_EQ(rest.size(), size_t(lag));
    for (const auto& packet : rest) {
        file.insert(file.end(), packet.begin(), packet.end());
        ++packetCount;
    }
    EXPECT_EQ(packetCount, kFrames);
    Packets again;
    m_encoder->EndEncode(again);
    EXPECT_TRUE(again.empty());
    m_encoder->CloseEncoder();

    const std::string hevc = TempPath("record.hevc");
    const std::string raw = TempPath("record.nv12");
    WriteFile(hevc, file);
    const std::string probe = Probe(hevc);
    EXPECT_NE(probe.find("codec_name=hevc\n"), std::string::npos) << probe;
    EXPECT_NE(probe.find("profile=Main\n"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=1280\n"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=720\n"), std::string::npos) << probe;
    EXPECT_NE(probe.find("r_frame_rate=30/1\n"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=120\n"), std::string::npos) << probe;

    const std::vector<uint8_t> decoded = DecodeNv12(hevc, raw);
    ASSERT_EQ(decoded.size(), kNv12Bytes * kFrames);
    for (int k = 0; k < kFrames; ++k) {
        const std::vector<uint8_t> source = PatternNv12(k);
        const uint8_t* frame = decoded.data() + kNv12Bytes * k;
        const double own = Psnr(frame, source.data(), kNv12Bytes);
        EXPECT_GE(own, 30.0) << "frame " << k;
        // In order: each decoded frame is closer to its own source than to the next.
        const std::vector<uint8_t> next = PatternNv12(k + 1);
        EXPECT_GT(own, Psnr(frame, next.data(), kNv12Bytes)) << "frame " << k;
    }
    std::remove(hevc.c_str());
    std::remove(raw.c_str());
}

TEST_F(RecordingPath, SessionNeverGivenAPictureGivesAnEmptyStream) {
    CreateEncoder();
    Packets packets = {{1, 2, 3}};
    m_encoder->EndEncode(packets);
    EXPECT_TRUE(packets.empty());
    m_encoder->CloseEncoder();
}

TEST_F(RecordingPath, H264IsRefusedAndTheSameEncoderThenRecordsHevc) {
    try {
        CreateEncoder(NV_ENC_CODEC_H264_GUID);
        FAIL() << "H.264 was accepted";
    } catch (const NVENCException& e) {
        EXPECT_EQ(e.ErrorCode(), NV_ENC_ERR_UNSUPPORTED_PARAM) << e.what();
    }
    CreateEncoder();
    const int lag = m_encoder->OutputLag();
    std::vector<uint8_t> file;
    for (int n = 0; n < 5; ++n) {
        for (const auto& packet : EncodePattern(n)) {
            file.insert(file.end(), packet.begin(), packet.end());
        }
    }
    Packets rest;
    m_encoder->EndEncode(rest);
    EXPECT_EQ(rest.size(), size_t(lag));
    for (const auto& packet : rest) {
        file.insert(file.end(), packet.begin(), packet.end());
    }
    const std::string hevc = TempPath("retry.hevc");
    WriteFile(hevc, file);
    const std::string probe = Probe(hevc);
    EXPECT_NE(probe.find("nb_read_frames=5\n"), std::string::npos) << probe;
    std::remove(hevc.c_str());
}

}  // namespace
