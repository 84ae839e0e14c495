// What the encoder tests share: an encoder that exposes its state, a fixture with a CUDA
// context and a fresh test double, and a matcher for NVENCException texts.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FakeNvEncodeApi.h"
#include "NvEncGuid.h"
#include "NvEncoder/NvEncoderCuda.h"
#include "cuda_host.h"

using fakenvenc::callCount;
using fakenvenc::fake;

class ProbeEncoder : public NvEncoderCuda {
  public:
    using NvEncoder::m_activeConfig;
    using NvEncoder::m_bInitialized;
    using NvEncoder::m_bPlatformSignalsEvents;
    using NvEncoder::m_hEncoder;
    using NvEncoder::m_iGot;
    using NvEncoder::m_initializeParams;
    using NvEncoder::m_iSubmitted;
    using NvEncoder::m_nEncoderBuffer;
    using NvEncoder::m_nFrameHeight;
    using NvEncoder::m_nFrameWidth;
    using NvEncoder::m_nMaxHeight;
    using NvEncoder::m_nMaxWidth;
    using NvEncoder::m_nOutputLag;
    using NvEncoder::m_vBitstreamBuffers;
    using NvEncoder::m_vCompletionEvents;
    using NvEncoder::m_vInputSlots;
    using NvEncoder::m_vMappedInputBuffers;
    using NvEncoder::m_vMappedRefBuffers;
    using NvEncoder::m_vMVBuffers;
    using NvEncoder::m_vReferenceSlots;
    using NvEncoder::m_vRegisteredInputs;
    using NvEncoder::m_vRegisteredReferences;
    using NvEncoder::MapResources;
    using NvEncoderCuda::AllocateInputBuffers;
    using NvEncoderCuda::FreeInputBuffers;
    using NvEncoderCuda::m_cudaContext;
    using NvEncoderCuda::m_nInputPitch;
    using NvEncoderCuda::NvEncoderCuda;
};

struct EncoderOptions {
    NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_NV12;
    uint32_t width = 1280;
    uint32_t height = 720;
    uint32_t extraDelay = 3;
    bool motionOnly = false;
    bool videoMemoryOutput = false;
    bool ivf = true;
    bool windowsEvents = false;  // the path of a platform whose driver signals events
    // Chainable edits of the defaults above.
    EncoderOptions& Format(NV_ENC_BUFFER_FORMAT f) { return format = f, *this; }
    EncoderOptions& Size(uint32_t w, uint32_t h) { return width = w, height = h, *this; }
    EncoderOptions& Delay(uint32_t d) { return extraDelay = d, *this; }
    EncoderOptions& MotionOnly() { return motionOnly = true, *this; }
    EncoderOptions& VideoMemory() { return videoMemoryOutput = true, *this; }
    EncoderOptions& NoIvf() { return ivf = false, *this; }
    EncoderOptions& WindowsEvents() { return windowsEvents = true, *this; }
};

using Packets = std::vector<std::vector<uint8_t>>;

// The caller's pair of structures, linked as the application links them.
struct EncoderRequest {
    NV_ENC_INITIALIZE_PARAMS params;
    NV_ENC_CONFIG config;
    EncoderRequest() {
        std::memset(&params, 0, sizeof(params));
        std::memset(&config, 0, sizeof(config));
        params.version = NV_ENC_INITIALIZE_PARAMS_VER;
        config.version = NV_ENC_CONFIG_VER;
        params.encodeConfig = &config;
    }
    EncoderRequest(const EncoderRequest&) = delete;
};

// CreateDefaultEncoderParams, by default as the application calls it.
inline void Defaults(ProbeEncoder& encoder, EncoderRequest& request,
                     GUID codec = NV_ENC_CODEC_HEVC_GUID, GUID preset = NV_ENC_PRESET_P3_GUID,
                     NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_LOW_LATENCY) {
    encoder.CreateDefaultEncoderParams(&request.params, codec, preset, tuning);
}

inline void EncodeFrames(ProbeEncoder& encoder, Packets& packets, int count) {
    for (int i = 0; i < count; ++i)
        encoder.EncodeFrame(packets);
}

class EncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakenvenc::reset();
        cudahost::clearDriverFailures();
        ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
        CUdevice device = 0;
        ASSERT_EQ(cuDeviceGet(&device, 0), CUDA_SUCCESS);
        ASSERT_EQ(cuCtxCreate(&m_context, nullptr, 0, device), CUDA_SUCCESS);
        m_liveBytes = cudahost::liveAllocationBytes();
    }

    void TearDown() override {
        EXPECT_TRUE(fakenvenc::fake().misuse.empty())
            << "first misuse: " << fakenvenc::fake().misuse.front();
        cudahost::clearDriverFailures();
        cuCtxDestroy(m_context);
    }

    std::unique_ptr<ProbeEncoder> Make(const EncoderOptions& o = EncoderOptions()) {
        auto encoder =
            std::make_unique<ProbeEncoder>(m_context, o.width, o.height, o.format, o.extraDelay,
                                           o.motionOnly, o.videoMemoryOutput, o.ivf);
        encoder->m_bPlatformSignalsEvents = o.windowsEvents;
        return encoder;
    }

    // Construction, defaults and CreateEncoder as the application does them.
    std::unique_ptr<ProbeEncoder> MakeCreated(const EncoderOptions& o = EncoderOptions(),
                                              GUID codec = NV_ENC_CODEC_HEVC_GUID) {
        auto encoder = Make(o);
        EncoderRequest request;
        Defaults(*encoder, request, codec);
        encoder->CreateEncoder(&request.params);
        return encoder;
    }

    CUcontext m_context = nullptr;
    size_t m_liveBytes = 0;
};

// Runs `action`, which must throw NVENCException "<function> : <message> at <file>:<line>\n"
// with `status`.
inline ::testing::AssertionResult Raises(const std::function<void()>& action,
                                         const std::string& function, const std::string& message,
                                         int status) {
    try {
        action();
    } catch (const NVENCException& e) {
        const std::string text = e.what();
        const std::string lead = function + " : " + message + " at ";
        if (text.compare(0, lead.size(), lead) != 0) {
            return ::testing::AssertionFailure()
                   << "text \"" << text << "\" does not start with \"" << lead << "\"";
        }
        if (text.empty() || text.back() != '\n') {
            return ::testing::AssertionFailure() << "text \"" << text << "\" lacks its newline";
        }
        if (e.ErrorCode() != status) {
            return ::testing::AssertionFailure()
                   << "status " << e.ErrorCode() << " instead of " << status;
        }
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "nothing was thrown";
}
