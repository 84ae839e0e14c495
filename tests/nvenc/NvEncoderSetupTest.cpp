#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <vector>

#include "EncoderTestSupport.h"

namespace {

const GUID kBogusGuid = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

std::vector<std::string> CallsFrom(size_t first) {
    return std::vector<std::string>(fake().calls.begin() + first, fake().calls.end());
}

}  // namespace

// Construction: loading, the version check and the session.

using ConstructionTest = EncoderTest;

TEST_F(ConstructionTest, DriverBelow12_2IsRefused) {
    fake().maxVersion = 0xC1;
    EXPECT_TRUE(Raises([&] { Make(); }, "NvEncoder::LoadNvEncApi",
                       "Current Driver Version does not support this NvEncodeAPI version, please "
                       "upgrade driver",
                       NV_ENC_ERR_INVALID_VERSION));
    EXPECT_EQ(callCount("NvEncodeAPICreateInstance"), 0);
    EXPECT_TRUE(fake().openParams.empty());
}

TEST_F(ConstructionTest, DriverAt12_2OrLaterIsAccepted) {
    for (uint32_t version : {0xC2u, 0xC3u, 0xD0u}) {
        fake().maxVersion = version;
        EXPECT_NO_THROW(Make()) << std::hex << version;
    }
}

TEST_F(ConstructionTest, FailingLoaderCallsRaiseWithTheirCallText) {
    fake().versionStatus = NV_ENC_ERR_GENERIC;
    EXPECT_TRUE(Raises([&] { Make(); }, "NvEncoder::LoadNvEncApi",
                       "NvEncodeAPIGetMaxSupportedVersion(&version) returned error 20", 20));
    fake().versionStatus = NV_ENC_SUCCESS;
    fake().createInstanceStatus = NV_ENC_ERR_INVALID_PTR;
    EXPECT_TRUE(Raises([&] { Make(); }, "NvEncoder::LoadNvEncApi",
                       "NvEncodeAPICreateInstance(&m_nvenc) returned error 6", 6));
}

TEST_F(ConstructionTest, MissingOpenSessionEntryIsEncodeApiNotFound) {
    fake().omitOpenSession = true;
    EXPECT_TRUE(Raises([&] { Make(); }, "NvEncoder::NvEncoder", "EncodeAPI not found",
                       NV_ENC_ERR_NO_ENCODE_DEVICE));
    EXPECT_TRUE(fake().openParams.empty());
    EXPECT_EQ(callCount("nvEncDestroyEncoder"), 0);
}

TEST_F(ConstructionTest, OpensOneCudaSessionOnTheContext) {
    auto encoder = Make();
    ASSERT_EQ(fake().openParams.size(), 1u);
    const NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS& open = fake().openParams[0];
    EXPECT_EQ(open.version, 0x7201000Cu);
    EXPECT_EQ(open.device, static_cast<void*>(m_context));
    EXPECT_EQ(open.deviceType, NV_ENC_DEVICE_TYPE_CUDA);
    EXPECT_EQ(open.apiVersion, 0x0200000Cu);
    EXPECT_EQ(encoder->m_hEncoder, fake().sessionHandle);
    // Open, not yet initialised: an empty ring.
    EXPECT_FALSE(encoder->m_bInitialized);
    EXPECT_EQ(encoder->m_nEncoderBuffer, 0);
    EXPECT_EQ(encoder->m_nOutputLag, 0);
    EXPECT_EQ(encoder->NextInputSlot(), nullptr);
    EXPECT_EQ(encoder->m_nMaxWidth, 1280u);
    EXPECT_EQ(encoder->m_nMaxHeight, 720u);
    encoder.reset();
    EXPECT_EQ(fake().destroyedSessions, std::vector<void*>{fake().sessionHandle});
}

TEST_F(ConstructionTest, RefusedSessionRaisesWithTheCallText) {
    fakenvenc::answer("nvEncOpenEncodeSessionEx", NV_ENC_ERR_OUT_OF_MEMORY);
    EXPECT_TRUE(Raises(
        [&] { Make(); }, "NvEncoder::NvEncoder",
        "m_nvenc.nvEncOpenEncodeSessionEx(&encodeSessionExParams, &hEncoder) returned error 10",
        10));
    EXPECT_EQ(callCount("nvEncDestroyEncoder"), 0);
}

TEST_F(ConstructionTest, CudaEncoderNeedsASessionThenAContext) {
    fake().sessionHandle = nullptr;  // "succeeds" without a handle
    EXPECT_TRUE(Raises([&] { Make(); }, "NvEncoderCuda::NvEncoderCuda",
                       "Encoder Initialization failed", NV_ENC_ERR_INVALID_DEVICE));

    fakenvenc::reset();
    EXPECT_TRUE(Raises(
        [&] { ProbeEncoder(nullptr, 64, 64, NV_ENC_BUFFER_FORMAT_NV12, 0, false, false, false); },
        "NvEncoderCuda::NvEncoderCuda", "Invalid Cuda Context", NV_ENC_ERR_INVALID_DEVICE));
    // The base part was destroyed again, and with it the session.
    EXPECT_EQ(fake().destroyedSessions, std::vector<void*>{fake().sessionHandle});
}

TEST_F(ConstructionTest, QueryCapabilityAsksTheSessionOrAnswersZero) {
    fake().asyncCaps = 7;
    auto encoder = Make();
    EXPECT_EQ(encoder->QueryCapability(NV_ENC_CODEC_H264_GUID, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT),
              7);
    ASSERT_EQ(fake().capsParams.size(), 1u);
    EXPECT_EQ(fake().capsParams[0].version, 0x7201000Cu);
    EXPECT_EQ(fake().capsParams[0].capsToQuery, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT);
    EXPECT_TRUE(SameGuid(fake().capsCodecs[0], NV_ENC_CODEC_H264_GUID));
    encoder->CloseEncoder();
    EXPECT_EQ(encoder->QueryCapability(NV_ENC_CODEC_H264_GUID, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT),
              0);
    EXPECT_EQ(fake().capsParams.size(), 1u);
}

// CreateDefaultEncoderParams.

using DefaultParamsTest = EncoderTest;

TEST_F(DefaultParamsTest, TheApplicationsRequest) {
    auto encoder = Make();
    EncoderRequest request;
    NV_ENC_CONFIG* config = &request.config;
    std::memset(&request.params, 0xCD, sizeof(request.params));  // stale caller data
    request.params.encodeConfig = config;
    std::memset(config, 0xCD, sizeof(*config));

    Defaults(*encoder, request);

    const NV_ENC_INITIALIZE_PARAMS& p = request.params;
    EXPECT_EQ(p.version, 0xF207000Cu);
    EXPECT_EQ(p.encodeConfig, config);
    EXPECT_TRUE(SameGuid(p.encodeGUID, NV_ENC_CODEC_HEVC_GUID));
    EXPECT_TRUE(SameGuid(p.presetGUID, NV_ENC_PRESET_P3_GUID));
    EXPECT_EQ(p.encodeWidth, 1280u);
    EXPECT_EQ(p.darWidth, 1280u);
    EXPECT_EQ(p.maxEncodeWidth, 1280u);
    EXPECT_EQ(p.encodeHeight, 720u);
    EXPECT_EQ(p.darHeight, 720u);
    EXPECT_EQ(p.maxEncodeHeight, 720u);
    EXPECT_EQ(p.frameRateNum, 30u);
    EXPECT_EQ(p.frameRateDen, 1u);
    EXPECT_EQ(p.enablePTD, 1u);
    EXPECT_EQ(p.reportSliceOffsets, 0u);
    EXPECT_EQ(p.enableSubFrameWrite, 0u);
    EXPECT_EQ(p.enableMEOnlyMode, 0u);
    EXPECT_EQ(p.enableOutputInVidmem, 0u);
    EXPECT_EQ(p.enableEncodeAsync, 0u);  // asked, but here no events could be signalled
    EXPECT_EQ(p.tuningInfo, NV_ENC_TUNING_INFO_LOW_LATENCY);
    EXPECT_EQ(p.reservedBitFields, 0u);  // the rest zero-filled

    ASSERT_EQ(fake().capsParams.size(), 1u);
    EXPECT_EQ(fake().capsParams[0].capsToQuery, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT);
    EXPECT_EQ(static_cast<int>(fake().capsParams[0].capsToQuery), 30);
    EXPECT_TRUE(SameGuid(fake().capsCodecs[0], NV_ENC_CODEC_HEVC_GUID));

    ASSERT_EQ(fake().presetQueries.size(), 1u);
    const fakenvenc::PresetQuery& q = fake().presetQueries[0];
    EXPECT_TRUE(SameGuid(q.codec, NV_ENC_CODEC_HEVC_GUID));
    EXPECT_TRUE(SameGuid(q.preset, NV_ENC_PRESET_P3_GUID));
    EXPECT_EQ(q.tuning, NV_ENC_TUNING_INFO_LOW_LATENCY);
    EXPECT_EQ(q.config.version, 0xF205000Cu);
    EXPECT_EQ(q.config.presetCfg.version, 0xF209000Cu);

    // The preset, with the HEVC adjustments for 8-bit 4:2:0.
    NV_ENC_CONFIG expected = fake().preset;
    expected.encodeCodecConfig.hevcConfig.inputBitDepth = NV_ENC_BIT_DEPTH_8;
    expected.encodeCodecConfig.hevcConfig.outputBitDepth = NV_ENC_BIT_DEPTH_8;
    expected.encodeCodecConfig.hevcConfig.idrPeriod = 250;
    EXPECT_EQ(std::memcmp(config, &expected, sizeof(expected)), 0);
    EXPECT_EQ(config->version, 0xF209000Cu);
}

TEST_F(DefaultParamsTest, AsyncFollowsTheCapabilityAndNeverVideoMemory) {
    fake().asyncCaps = 0;
    EncoderRequest request;
    Defaults(*Make(), request);
    EXPECT_EQ(request.params.enableEncodeAsync, 0u);

    fakenvenc::reset();
    Defaults(*Make(EncoderOptions().VideoMemory()), request);
    EXPECT_EQ(request.params.enableEncodeAsync, 0u);
    EXPECT_EQ(request.params.enableOutputInVidmem, 1u);
    EXPECT_TRUE(fake().capsParams.empty());
}

TEST_F(DefaultParamsTest, CodecAdjustments) {
    struct Case {
        GUID codec;
        NV_ENC_BUFFER_FORMAT format;
        bool vidmem;
        void (*adjust)(NV_ENC_CONFIG&);
    };
    const Case cases[] = {
        {NV_ENC_CODEC_H264_GUID, NV_ENC_BUFFER_FORMAT_NV12, false,
         [](NV_ENC_CONFIG& c) { c.encodeCodecConfig.h264Config.idrPeriod = c.gopLength; }},
        {NV_ENC_CODEC_H264_GUID, NV_ENC_BUFFER_FORMAT_YUV444, false,
         [](NV_ENC_CONFIG& c) {
             c.encodeCodecConfig.h264Config.chromaFormatIDC = 3;
             c.encodeCodecConfig.h264Config.idrPeriod = c.gopLength;
         }},
        {NV_ENC_CODEC_HEVC_GUID, NV_ENC_BUFFER_FORMAT_YUV420_10BIT, false,
         [](NV_ENC_CONFIG& c) {
             c.encodeCodecConfig.hevcConfig.inputBitDepth = NV_ENC_BIT_DEPTH_10;
             c.encodeCodecConfig.hevcConfig.outputBitDepth = NV_ENC_BIT_DEPTH_10;
             c.encodeCodecConfig.hevcConfig.idrPeriod = c.gopLength;
         }},
        {NV_ENC_CODEC_HEVC_GUID, NV_ENC_BUFFER_FORMAT_YUV444, false,
         [](NV_ENC_CONFIG& c) {
             c.encodeCodecConfig.hevcConfig.inputBitDepth = NV_ENC_BIT_DEPTH_8;
             c.encodeCodecConfig.hevcConfig.outputBitDepth = NV_ENC_BIT_DEPTH_8;
             c.encodeCodecConfig.hevcConfig.chromaFormatIDC = 3;
             c.encodeCodecConfig.hevcConfig.idrPeriod = c.gopLength;
         }},
        {NV_ENC_CODEC_HEVC_GUID, NV_ENC_BUFFER_FORMAT_YUV444_10BIT, false,
         [](NV_ENC_CONFIG& c) {
             c.encodeCodecConfig.hevcConfig.inputBitDepth = NV_ENC_BIT_DEPTH_10;
             c.encodeCodecConfig.hevcConfig.outputBitDepth = NV_ENC_BIT_DEPTH_10;
             c.encodeCodecConfig.hevcConfig.chromaFormatIDC = 3;
             c.encodeCodecConfig.hevcConfig.idrPeriod = c.gopLength;
         }},
        {NV_ENC_CODEC_AV1_GUID, NV_ENC_BUFFER_FORMAT_YUV420_10BIT, false,
         [](NV_ENC_CONFIG& c) {
             c.encodeCodecConfig.av1Config.inputBitDepth = NV_ENC_BIT_DEPTH_10;
             c.encodeCodecConfig.av1Config.chromaFormatIDC = 1;
             c.encodeCodecConfig.av1Config.idrPeriod = c.gopLength;
         }},
        {NV_ENC_CODEC_AV1_GUID, NV_ENC_BUFFER_FORMAT_NV12, true,
         [](NV_ENC_CONFIG& c) {
             c.encodeCodecConfig.av1Config.inputBitDepth = NV_ENC_BIT_DEPTH_8;
             c.encodeCodecConfig.av1Config.chromaFormatIDC = 1;
             c.encodeCodecConfig.av1Config.idrPeriod = c.gopLength;
             c.frameIntervalP = 1;
         }},
        {kBogusGuid, NV_ENC_BUFFER_FORMAT_YUV444, true, [](NV_ENC_CONFIG&) {}},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << index++);
        fakenvenc::reset();
        fake().preset.gopLength = 60;
        fake().preset.frameIntervalP = 3;
        fake().preset.encodeCodecConfig.h264Config.chromaFormatIDC = 1;  // shared union bytes
        EncoderOptions options = EncoderOptions().Format(c.format);
        options.videoMemoryOutput = c.vidmem;
        EncoderRequest request;
        Defaults(*Make(options), request, c.codec, NV_ENC_PRESET_P3_GUID,
                 NV_ENC_TUNING_INFO_HIGH_QUALITY);
        NV_ENC_CONFIG expected = fake().preset;
        c.adjust(expected);
        EXPECT_EQ(std::memcmp(&request.config, &expected, sizeof(expected)), 0);
    }
}

TEST_F(DefaultParamsTest, MotionOnlySetsConstantQpOnTheActiveConfiguration) {
    auto encoder = Make(EncoderOptions().MotionOnly());
    EncoderRequest request;
    Defaults(*encoder, request, NV_ENC_CODEC_H264_GUID);
    EXPECT_EQ(request.params.enableMEOnlyMode, 1u);
    EXPECT_EQ(encoder->m_activeConfig.version, 0xF209000Cu);
    EXPECT_EQ(encoder->m_activeConfig.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
    EXPECT_EQ(encoder->m_activeConfig.rcParams.constQP.qpInterP, 28u);
    EXPECT_EQ(encoder->m_activeConfig.rcParams.constQP.qpInterB, 31u);
    EXPECT_EQ(encoder->m_activeConfig.rcParams.constQP.qpIntra, 25u);
    // The caller's configuration is the preset's.
    EXPECT_EQ(request.config.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CBR);
}

TEST_F(DefaultParamsTest, RefusesMissingSessionOrStructures) {
    auto encoder = Make();
    EncoderRequest request;
    NV_ENC_INITIALIZE_PARAMS* params = nullptr;
    const auto call = [&] {
        encoder->CreateDefaultEncoderParams(params, NV_ENC_CODEC_HEVC_GUID, NV_ENC_PRESET_P3_GUID,
                                            NV_ENC_TUNING_INFO_LOW_LATENCY);
    };
    const char* kFunction = "NvEncoder::CreateDefaultEncoderParams";
    const char* kNull = "pInitializeParams and pInitializeParams->encodeConfig can't be NULL";
    EXPECT_TRUE(Raises(call, kFunction, kNull, 6));
    params = &request.params;
    request.params.encodeConfig = nullptr;
    EXPECT_TRUE(Raises(call, kFunction, kNull, 6));
    request.params.encodeConfig = &request.config;
    encoder->CloseEncoder();
    EXPECT_TRUE(Raises(call, kFunction, "Encoder Initialization failed", 1));
}

// CreateEncoder.

using CreateEncoderTest = EncoderTest;

TEST_F(CreateEncoderTest, TheApplicationsSession) {
    auto encoder = Make();
    EncoderRequest request;
    Defaults(*encoder, request);
    const size_t before = fake().calls.size();
    encoder->CreateEncoder(&request.params);

    ASSERT_EQ(fake().initParams.size(), 1u);
    const NV_ENC_INITIALIZE_PARAMS& init = fake().initParams[0];
    EXPECT_EQ(init.version, 0xF207000Cu);
    EXPECT_EQ(init.encodeConfig, &encoder->m_activeConfig);  // not the caller's
    EXPECT_EQ(init.encodeWidth, 1280u);
    EXPECT_EQ(init.encodeHeight, 720u);
    EXPECT_EQ(init.enableEncodeAsync, 0u);
    EXPECT_EQ(std::memcmp(&fake().initConfigs[0], &request.config, sizeof(NV_ENC_CONFIG)), 0);
    EXPECT_TRUE(encoder->m_bInitialized);

    // P-frame interval 1 + lookahead 0 + extra delay 3.
    const int n = 4;
    EXPECT_EQ(encoder->m_nEncoderBuffer, n);
    EXPECT_EQ(encoder->m_nOutputLag, n - 1);
    EXPECT_TRUE(encoder->m_vCompletionEvents.empty()) << "a synchronous session has no events";
    EXPECT_EQ(encoder->m_vBitstreamBuffers.size(), size_t(n));
    EXPECT_EQ(encoder->m_vMappedInputBuffers, std::vector<NV_ENC_INPUT_PTR>(n, nullptr));
    EXPECT_EQ(encoder->m_vInputSlots.size(), size_t(n));
    EXPECT_TRUE(encoder->m_vMVBuffers.empty());
    EXPECT_TRUE(encoder->m_vReferenceSlots.empty());

    std::vector<std::string> expectedCalls = {"nvEncInitializeEncoder"};
    expectedCalls.insert(expectedCalls.end(), n, "nvEncCreateBitstreamBuffer");
    expectedCalls.insert(expectedCalls.end(), n, "nvEncRegisterResource");
    EXPECT_EQ(CallsFrom(before), expectedCalls);

    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fake().bitstreamCreates[i].version, 0x7201000Cu);
        EXPECT_NE(encoder->m_vBitstreamBuffers[i], nullptr);
        const NV_ENC_REGISTER_RESOURCE& r = fake().registrations[i];
        EXPECT_EQ(r.version, 0x7205000Cu);
        EXPECT_EQ(r.resourceType, NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR);
        EXPECT_EQ(r.width, 1280u);
        EXPECT_EQ(r.height, 720u);
        EXPECT_EQ(r.pitch, encoder->m_nInputPitch);
        EXPECT_EQ(r.subResourceIndex, 0u);
        EXPECT_EQ(r.bufferFormat, NV_ENC_BUFFER_FORMAT_NV12);
        EXPECT_EQ(r.bufferUsage, NV_ENC_INPUT_IMAGE);
        EXPECT_EQ(r.pInputFencePoint, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r.resourceToRegister),
                  encoder->m_vInputSlots[i].bufferPtr);
    }
}

TEST_F(CreateEncoderTest, WhereTheDriverSignalsEventsAnAsyncSessionRegistersOnePerSlot) {
    auto encoder = Make(EncoderOptions().WindowsEvents());
    EncoderRequest request;
    Defaults(*encoder, request);
    ASSERT_EQ(request.params.enableEncodeAsync, 1u);  // what the capability query answered
    const size_t before = fake().calls.size();
    encoder->CreateEncoder(&request.params);
    const std::vector<std::string> calls = CallsFrom(before);
    ASSERT_EQ(encoder->m_vCompletionEvents.size(), 4u);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "nvEncRegisterAsyncEvent"), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(encoder->m_vCompletionEvents[i], nullptr);
        EXPECT_EQ(fake().registeredEvents[i].version, 0x7202000Cu);
        EXPECT_EQ(fake().registeredEvents[i].completionEvent, encoder->m_vCompletionEvents[i]);
    }
    encoder.reset();
    EXPECT_EQ(fake().unregisteredEvents.size(), 4u);
}

TEST_F(CreateEncoderTest, RingDepthIsPFrameIntervalPlusLookaheadPlusExtraDelay) {
    fake().preset.frameIntervalP = 3;
    fake().preset.rcParams.lookaheadDepth = 5;
    auto encoder = MakeCreated();
    EXPECT_EQ(encoder->m_nEncoderBuffer, 3 + 5 + 3);
    EXPECT_EQ(encoder->m_nOutputLag, 10);
}

TEST_F(CreateEncoderTest, PFrameIntervalIsClampedToTheGop) {
    fake().preset.frameIntervalP = 4;
    fake().preset.gopLength = 2;
    auto encoder = MakeCreated();
    EXPECT_EQ(encoder->m_activeConfig.frameIntervalP, 2);
    EXPECT_EQ(fake().initConfigs.at(0).frameIntervalP, 2);  // before initialisation
    EXPECT_EQ(encoder->m_nEncoderBuffer, 2 + 3);

    encoder.reset();
    fakenvenc::reset();
    fake().preset.frameIntervalP = 4;
    fake().preset.gopLength = NVENC_INFINITE_GOPLENGTH;
    encoder = MakeCreated();
    EXPECT_EQ(encoder->m_activeConfig.frameIntervalP, 4);
    EXPECT_EQ(encoder->m_nEncoderBuffer, 4 + 3);
}

TEST_F(CreateEncoderTest, ValidationRowsInOrder) {
    struct Case {
        const char* name;
        NV_ENC_BUFFER_FORMAT format;
        bool vidmem;
        GUID codec;
        void (*edit)(EncoderRequest&);
        const char* message;
        int status;
    };
    const Case cases[] = {
        {"width before codec", NV_ENC_BUFFER_FORMAT_NV12, false, kBogusGuid,
         [](EncoderRequest& r) { r.params.encodeWidth = 0; }, "Invalid encoder width and height",
         8},
        {"height", NV_ENC_BUFFER_FORMAT_NV12, false, NV_ENC_CODEC_HEVC_GUID,
         [](EncoderRequest& r) { r.params.encodeHeight = 0; }, "Invalid encoder width and height",
         8},
        {"codec", NV_ENC_BUFFER_FORMAT_NV12, false, kBogusGuid, [](EncoderRequest&) {},
         "Invalid codec guid", 8},
        {"H.264 10-bit before chroma", NV_ENC_BUFFER_FORMAT_YUV444_10BIT, false,
         NV_ENC_CODEC_H264_GUID,
         [](EncoderRequest& r) { r.config.encodeCodecConfig.h264Config.chromaFormatIDC = 1; },
         "10-bit format isn't supported by H264 encoder", 8},
        {"H.264 4:2:0 10-bit", NV_ENC_BUFFER_FORMAT_YUV420_10BIT, false, NV_ENC_CODEC_H264_GUID,
         [](EncoderRequest&) {}, "10-bit format isn't supported by H264 encoder", 8},
        {"AV1 4:4:4", NV_ENC_BUFFER_FORMAT_YUV444, false, NV_ENC_CODEC_AV1_GUID,
         [](EncoderRequest&) {}, "YUV444 format isn't supported by AV1 encoder", 8},
        {"H.264 4:4:4 chroma", NV_ENC_BUFFER_FORMAT_YUV444, false, NV_ENC_CODEC_H264_GUID,
         [](EncoderRequest& r) { r.config.encodeCodecConfig.h264Config.chromaFormatIDC = 1; },
         "Invalid ChromaFormatIDC", 8},
        {"HEVC 10-bit depth before chroma", NV_ENC_BUFFER_FORMAT_YUV444_10BIT, false,
         NV_ENC_CODEC_HEVC_GUID,
         [](EncoderRequest& r) {
             r.config.encodeCodecConfig.hevcConfig.inputBitDepth = NV_ENC_BIT_DEPTH_8;
             r.config.encodeCodecConfig.hevcConfig.chromaFormatIDC = 1;
         },
         "Invalid PixelBitdepth", 8},
        {"HEVC 4:4:4 chroma", NV_ENC_BUFFER_FORMAT_YUV444, false, NV_ENC_CODEC_HEVC_GUID,
         [](EncoderRequest& r) { r.config.encodeCodecConfig.hevcConfig.chromaFormatIDC = 1; },
         "Invalid ChromaFormatIDC", 8},
        {"AV1 10-bit depth before chroma", NV_ENC_BUFFER_FORMAT_YUV420_10BIT, false,
         NV_ENC_CODEC_AV1_GUID,
         [](EncoderRequest& r) {
             r.config.encodeCodecConfig.av1Config.inputBitDepth = NV_ENC_BIT_DEPTH_8;
             r.config.encodeCodecConfig.av1Config.chromaFormatIDC = 3;
         },
         "Invalid PixelBitdepth", 8},
        {"AV1 chroma", NV_ENC_BUFFER_FORMAT_NV12, false, NV_ENC_CODEC_AV1_GUID,
         [](EncoderRequest& r) { r.config.encodeCodecConfig.av1Config.chromaFormatIDC = 3; },
         "Invalid ChromaFormatIDC", 8},
        {"AV1 alt ref in video memory", NV_ENC_BUFFER_FORMAT_NV12, true, NV_ENC_CODEC_AV1_GUID,
         [](EncoderRequest& r) { r.config.frameIntervalP = 2; },
         "Alt Ref frames not supported for AV1 in case of OutputInVideoMemory", 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakenvenc::reset();
        EncoderOptions options = EncoderOptions().Format(c.format);
        options.videoMemoryOutput = c.vidmem;
        auto encoder = Make(options);
        EncoderRequest request;
        Defaults(*encoder, request, c.codec);
        c.edit(request);
        EXPECT_TRUE(Raises([&] { encoder->CreateEncoder(&request.params); },
                           "NvEncoder::CreateEncoder", c.message, c.status));
        EXPECT_EQ(callCount("nvEncInitializeEncoder"), 0);
        EXPECT_FALSE(encoder->m_bInitialized);
    }
}

TEST_F(CreateEncoderTest, FormatChecksOnlyForTheirFormats) {
    // HEVC with NV12 runs neither depth nor chroma row; AV1 in system memory allows alt ref.
    auto hevc = Make();
    EncoderRequest request;
    Defaults(*hevc, request);
    request.config.encodeCodecConfig.hevcConfig.inputBitDepth = NV_ENC_BIT_DEPTH_INVALID;
    request.config.encodeCodecConfig.hevcConfig.chromaFormatIDC = 2;
    EXPECT_NO_THROW(hevc->CreateEncoder(&request.params));

    auto av1 = Make();
    EncoderRequest av1Request;
    Defaults(*av1, av1Request, NV_ENC_CODEC_AV1_GUID);
    av1Request.config.frameIntervalP = 4;
    EXPECT_NO_THROW(av1->CreateEncoder(&av1Request.params));
}

TEST_F(CreateEncoderTest, NullParametersAndClosedSession) {
    auto encoder = Make();
    EXPECT_TRUE(Raises([&] { encoder->CreateEncoder(nullptr); }, "NvEncoder::CreateEncoder",
                       "Invalid NV_ENC_INITIALIZE_PARAMS ptr", 6));
    EncoderRequest request;
    Defaults(*encoder, request);
    encoder->CloseEncoder();
    EXPECT_TRUE(Raises([&] { encoder->CreateEncoder(&request.params); }, "NvEncoder::CreateEncoder",
                       "Encoder Initialization failed", 1));
}

TEST_F(CreateEncoderTest, RefusedInitialisationRaisesWithTheCallText) {
    fakenvenc::answer("nvEncInitializeEncoder", NV_ENC_ERR_INVALID_PARAM);
    EXPECT_TRUE(Raises([&] { MakeCreated(); }, "NvEncoder::CreateEncoder",
                       "m_nvenc.nvEncInitializeEncoder(m_hEncoder, &m_initializeParams) returned "
                       "error 8",
                       8));
    EXPECT_EQ(callCount("nvEncCreateBitstreamBuffer"), 0);
}

TEST_F(CreateEncoderTest, FailedBitstreamBufferLeavesTheRestForTeardown) {
    fakenvenc::answer("nvEncCreateBitstreamBuffer", NV_ENC_ERR_OUT_OF_MEMORY, 2);
    auto encoder = Make();
    EncoderRequest request;
    Defaults(*encoder, request);
    EXPECT_TRUE(Raises([&] { encoder->CreateEncoder(&request.params); },
                       "NvEncoder::InitializeBitstreamBuffer",
                       "m_nvenc.nvEncCreateBitstreamBuffer(m_hEncoder, &createBitstreamBuffer) "
                       "returned error 10",
                       10));
    EXPECT_EQ(callCount("nvEncRegisterResource"), 0);
    encoder.reset();
    EXPECT_EQ(fake().destroyedBitstreams.size(), 2u);  // the two that exist
    EXPECT_EQ(fake().destroyedSessions.size(), 1u);
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
}

TEST_F(CreateEncoderTest, VideoMemoryOutputHasNoEventsNorBitstreamBuffers) {
    auto encoder = MakeCreated(EncoderOptions().VideoMemory());
    EXPECT_EQ(encoder->m_initializeParams.enableEncodeAsync, 0u);
    EXPECT_TRUE(encoder->m_vCompletionEvents.empty());
    EXPECT_TRUE(encoder->m_vBitstreamBuffers.empty());
    EXPECT_EQ(encoder->m_vMappedInputBuffers.size(), 4u);
    EXPECT_EQ(encoder->m_vInputSlots.size(), 4u);
    EXPECT_EQ(callCount("nvEncRegisterAsyncEvent"), 0);
    EXPECT_EQ(callCount("nvEncCreateBitstreamBuffer"), 0);
}

TEST_F(CreateEncoderTest, MotionOnlySessionHasMotionVectorAndReferenceBuffers) {
    auto encoder = MakeCreated(EncoderOptions().MotionOnly(), NV_ENC_CODEC_H264_GUID);
    const int n = encoder->m_nEncoderBuffer;
    ASSERT_EQ(n, 4);
    EXPECT_EQ(encoder->m_vMVBuffers.size(), size_t(n));
    EXPECT_EQ(fake().mvCreates.size(), size_t(n));
    EXPECT_EQ(fake().mvCreates[0].version, 0x7202000Cu);
    EXPECT_TRUE(encoder->m_vBitstreamBuffers.empty());
    EXPECT_EQ(encoder->m_vMappedRefBuffers, std::vector<NV_ENC_INPUT_PTR>(n, nullptr));
    EXPECT_EQ(encoder->m_vInputSlots.size(), size_t(n));
    EXPECT_EQ(encoder->m_vReferenceSlots.size(), size_t(n));
    EXPECT_EQ(encoder->m_vRegisteredReferences.size(), size_t(n));
    EXPECT_EQ(fake().registrations.size(), size_t(2 * n));

    encoder->CloseEncoder();
    EXPECT_EQ(fake().destroyedMVBuffers.size(), size_t(n));
    EXPECT_EQ(fake().unregistered.size(), size_t(2 * n));
    EXPECT_EQ(callCount("nvEncEncodePicture"), 0);  // nothing to drain
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
}

TEST_F(CreateEncoderTest, WithoutConfigurationThePresetIsUsed) {
    fake().preset.frameIntervalP = 2;
    auto encoder = Make();
    EncoderRequest request;
    Defaults(*encoder, request, NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_P1_GUID,
             NV_ENC_TUNING_INFO_HIGH_QUALITY);
    request.params.encodeConfig = nullptr;
    encoder->CreateEncoder(&request.params);
    ASSERT_EQ(fake().presetQueries.size(), 2u);
    EXPECT_TRUE(SameGuid(fake().presetQueries[1].codec, NV_ENC_CODEC_H264_GUID));
    EXPECT_TRUE(SameGuid(fake().presetQueries[1].preset, NV_ENC_PRESET_P1_GUID));
    EXPECT_EQ(fake().presetQueries[1].tuning, NV_ENC_TUNING_INFO_HIGH_QUALITY);
    EXPECT_EQ(fake().presetQueries[1].config.version, 0xF205000Cu);
    EXPECT_EQ(encoder->m_activeConfig.frameIntervalP, 2);
    EXPECT_EQ(encoder->m_nEncoderBuffer, 5);

    // AV1 with output in video memory forces one P-frame interval.
    encoder.reset();
    fakenvenc::reset();
    fake().preset.frameIntervalP = 3;
    auto av1 = Make(EncoderOptions().VideoMemory());
    request.params.encodeConfig = &request.config;
    Defaults(*av1, request, NV_ENC_CODEC_AV1_GUID);
    request.params.encodeConfig = nullptr;
    av1->CreateEncoder(&request.params);
    EXPECT_EQ(av1->m_activeConfig.frameIntervalP, 1);
}

TEST_F(CreateEncoderTest, MotionOnlyWithoutConfigurationUsesConstantQp) {
    auto encoder = Make(EncoderOptions().MotionOnly());
    EncoderRequest request;
    Defaults(*encoder, request);
    request.params.encodeConfig = nullptr;
    // No P-frame interval without a preset: the extra delay alone sizes the ring.
    encoder->CreateEncoder(&request.params);
    EXPECT_EQ(fake().presetQueries.size(), 1u);  // only the one of the defaults
    EXPECT_EQ(encoder->m_activeConfig.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
    EXPECT_EQ(encoder->m_activeConfig.rcParams.constQP.qpInterB, 31u);
    EXPECT_EQ(encoder->m_nEncoderBuffer, 3);
}

TEST_F(CreateEncoderTest, RingWithoutSlotsIsRefused) {
    fake().preset.frameIntervalP = 0;
    auto encoder = Make(EncoderOptions().Delay(0));
    EncoderRequest request;
    Defaults(*encoder, request);
    EXPECT_TRUE(Raises([&] { encoder->CreateEncoder(&request.params); }, "NvEncoder::CreateEncoder",
                       "Invalid number of encoder buffers", 8));
    EXPECT_EQ(callCount("nvEncInitializeEncoder"), 0);
    EXPECT_EQ(encoder->NextInputSlot(), nullptr);
    encoder->CloseEncoder();  // must not divide by the empty ring
    EXPECT_EQ(fake().destroyedSessions.size(), 1u);
}

// Teardown.

using TeardownTest = EncoderTest;

TEST_F(TeardownTest, CloseReleasesEverythingInOrderOnce) {
    auto encoder = MakeCreated(EncoderOptions().WindowsEvents());
    const std::vector<void*> events = encoder->m_vCompletionEvents;
    const std::vector<NV_ENC_OUTPUT_PTR> bitstreams = encoder->m_vBitstreamBuffers;
    const std::vector<NV_ENC_REGISTERED_PTR> registered = encoder->m_vRegisteredInputs;
    const size_t before = fake().calls.size();

    encoder->CloseEncoder();

    std::vector<std::string> expected = {"nvEncEncodePicture"};  // the drain's end of stream
    expected.insert(expected.end(), 4, "nvEncUnregisterResource");
    expected.insert(expected.end(), 4, "nvEncUnregisterAsyncEvent");
    expected.insert(expected.end(), 4, "nvEncDestroyBitstreamBuffer");
    expected.push_back("nvEncDestroyEncoder");
    EXPECT_EQ(CallsFrom(before), expected);
    EXPECT_EQ(fake().pictures.back().encodePicFlags, static_cast<uint32_t>(NV_ENC_PIC_FLAG_EOS));
    EXPECT_EQ(fake().unregistered, registered);
    EXPECT_EQ(fake().destroyedBitstreams, bitstreams);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(fake().unregisteredEvents[i].version, 0x7202000Cu);
        EXPECT_EQ(fake().unregisteredEvents[i].completionEvent, events[i]);
    }
    EXPECT_EQ(encoder->m_hEncoder, nullptr);
    EXPECT_FALSE(encoder->m_bInitialized);
    EXPECT_EQ(encoder->m_cudaContext, nullptr);
    EXPECT_TRUE(encoder->m_vInputSlots.empty());
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);

    const size_t afterFirst = fake().calls.size();
    encoder->CloseEncoder();
    EXPECT_EQ(fake().calls.size(), afterFirst);
    EncoderRequest request;
    EXPECT_TRUE(Raises([&] { encoder->CreateEncoder(&request.params); }, "NvEncoder::CreateEncoder",
                       "Encoder Initialization failed", 1));
    encoder.reset();
    EXPECT_EQ(fake().calls.size(), afterFirst);
}

TEST_F(TeardownTest, DestructorReleasesWhatCloseWould) {
    auto encoder = MakeCreated();
    encoder.reset();
    EXPECT_EQ(callCount("nvEncUnregisterResource"), 4);
    EXPECT_EQ(callCount("nvEncUnregisterAsyncEvent"), 0) << "none was registered";
    EXPECT_EQ(callCount("nvEncDestroyBitstreamBuffer"), 4);
    EXPECT_EQ(callCount("nvEncDestroyEncoder"), 1);
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
}

TEST_F(TeardownTest, TeardownIgnoresFailingCalls) {
    auto encoder = MakeCreated();
    fakenvenc::answer("nvEncEncodePicture", NV_ENC_ERR_GENERIC);  // the drain's end of stream
    fakenvenc::answer("nvEncUnregisterResource", NV_ENC_ERR_GENERIC, 0, 4);
    fakenvenc::answer("nvEncDestroyEncoder", NV_ENC_ERR_GENERIC);
    EXPECT_NO_THROW(encoder->CloseEncoder());
    EXPECT_EQ(callCount("nvEncDestroyBitstreamBuffer"), 4);
    EXPECT_EQ(encoder->m_hEncoder, nullptr);
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
}
