// The software encoder through the NVENC function table itself: what each entry
// answers for good and bad calls, and the streams it produces.

#include <cuda.h>
#include <cuda_host.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "SoftwareEncoder.h"
#include "nvEncodeAPI.h"
#include "stream_check.h"

using namespace swenc_test;

namespace {

// One bad variant of a good parameter block: `spoil` breaks a copy of it, and the call
// given that copy must answer `status`.
template <typename T>
struct Refusal {
    const char* what;
    std::function<void(T&)> spoil;
    NVENCSTATUS status;
    int line;
};
// A row applying `statement` to the copy `p`; a failure names the statement and its line.
// clang-format off
#define SPOILED(statement, status) {#statement, [&](auto& p) { statement; }, status, __LINE__}
// clang-format on

template <typename T, typename Call>
void ExpectRefusals(const T& good, Call call, const std::vector<Refusal<T>>& rows) {
    for (const Refusal<T>& row : rows) {
        const ::testing::ScopedTrace trace(__FILE__, row.line, row.what);
        T bad = good;
        row.spoil(bad);
        EXPECT_EQ(call(&bad), row.status);
    }
}

// Initialise parameters with their own configuration, so copies stay self-contained;
// Initialize() points the one at the other just before the call.
struct InitParams {
    NV_ENC_INITIALIZE_PARAMS init;
    NV_ENC_CONFIG config;
};

// One registered, mapped input holding a test-pattern frame.
struct Input {
    CUdeviceptr buffer = 0;
    size_t pitch = 0;
    NV_ENC_REGISTERED_PTR registered = nullptr;
    NV_ENC_INPUT_PTR mapped = nullptr;
};

NV_ENC_LOCK_BITSTREAM LockParams(NV_ENC_OUTPUT_PTR output) {
    NV_ENC_LOCK_BITSTREAM lock = {};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = output;
    return lock;
}

class SoftwareEncoderApi : public ::testing::Test {
  protected:
    void SetUp() override {
        CreateContext(&m_context);
        m_api.version = NV_ENCODE_API_FUNCTION_LIST_VER;
        ASSERT_EQ(camfx::swenc::CreateInstance(&m_api), NV_ENC_SUCCESS);
    }

    void TearDown() override {
        for (void* session : m_sessions) {
            m_api.nvEncDestroyEncoder(session);
        }
        for (CUdeviceptr buffer : m_buffers) {
            cuMemFree(buffer);
        }
        cudahost::clearDriverFailures();
        cuCtxDestroy(m_context);
    }

    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS OpenParams() const {
        NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params = {};
        params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
        params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
        params.device = m_context;
        params.apiVersion = NVENCAPI_VERSION;
        return params;
    }

    void* Open() {
        NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params = OpenParams();
        void* session = nullptr;
        EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(&params, &session), NV_ENC_SUCCESS);
        m_sessions.push_back(session);
        return session;
    }

    NVENCSTATUS GetPreset(void* session, GUID codec, GUID preset, NV_ENC_TUNING_INFO tuning,
                          NV_ENC_PRESET_CONFIG* config) {
        return m_api.nvEncGetEncodePresetConfigEx(session, codec, preset, tuning, config);
    }

    // As the application asks: HEVC, P3, with the preset's configuration for the tuning.
    InitParams Defaults(void* session, NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_LOW_LATENCY,
                        GUID codec = NV_ENC_CODEC_HEVC_GUID) {
        NV_ENC_PRESET_CONFIG preset = {};
        preset.version = NV_ENC_PRESET_CONFIG_VER;
        preset.presetCfg.version = NV_ENC_CONFIG_VER;
        EXPECT_EQ(GetPreset(session, codec, NV_ENC_PRESET_P3_GUID, tuning, &preset),
                  NV_ENC_SUCCESS);
        InitParams p = {};
        p.config = preset.presetCfg;
        p.init.version = NV_ENC_INITIALIZE_PARAMS_VER;
        p.init.encodeGUID = codec;
        p.init.presetGUID = NV_ENC_PRESET_P3_GUID;
        p.init.encodeWidth = p.init.darWidth = p.init.maxEncodeWidth = kWidth;
        p.init.encodeHeight = p.init.darHeight = p.init.maxEncodeHeight = kHeight;
        p.init.frameRateNum = 30;
        p.init.frameRateDen = 1;
        p.init.enablePTD = 1;
        p.init.tuningInfo = tuning;
        return p;
    }

    NVENCSTATUS Initialize(void* session, InitParams* p) {
        p->init.encodeConfig = &p->config;
        return m_api.nvEncInitializeEncoder(session, &p->init);
    }

    void* OpenInitialized(NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_LOW_LATENCY) {
        void* session = Open();
        InitParams p = Defaults(session, tuning);
        EXPECT_EQ(Initialize(session, &p), NV_ENC_SUCCESS);
        return session;
    }

    // A pitched NV12 device buffer as the wrapper allocates it.
    CUdeviceptr Allocate(size_t* pitch) {
        CUdeviceptr buffer = 0;
        EXPECT_EQ(cuMemAllocPitch(&buffer, pitch, kWidth, kHeight * 3 / 2, 16), CUDA_SUCCESS);
        m_buffers.push_back(buffer);
        return buffer;
    }

    static NV_ENC_REGISTER_RESOURCE RegisterParams(CUdeviceptr buffer, size_t pitch) {
        NV_ENC_REGISTER_RESOURCE r = {};
        r.version = NV_ENC_REGISTER_RESOURCE_VER;
        r.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR;
        r.width = kWidth;
        r.height = kHeight;
        r.pitch = uint32_t(pitch);
        r.resourceToRegister = reinterpret_cast<void*>(buffer);
        r.bufferFormat = NV_ENC_BUFFER_FORMAT_NV12;
        r.bufferUsage = NV_ENC_INPUT_IMAGE;
        return r;
    }

    Input MakeInput(void* session, int n) {
        Input in;
        in.buffer = Allocate(&in.pitch);
        UploadNv12(in.buffer, in.pitch, PatternNv12(n));
        NV_ENC_REGISTER_RESOURCE r = RegisterParams(in.buffer, in.pitch);
        EXPECT_EQ(m_api.nvEncRegisterResource(session, &r), NV_ENC_SUCCESS);
        in.registered = r.registeredResource;
        NV_ENC_MAP_INPUT_RESOURCE map = {};
        map.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
        map.registeredResource = in.registered;
        EXPECT_EQ(m_api.nvEncMapInputResource(session, &map), NV_ENC_SUCCESS);
        EXPECT_EQ(map.mappedBufferFmt, NV_ENC_BUFFER_FORMAT_NV12);
        in.mapped = map.mappedResource;
        return in;
    }

    NV_ENC_OUTPUT_PTR MakeBitstream(void* session) {
        NV_ENC_CREATE_BITSTREAM_BUFFER create = {};
        create.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
        EXPECT_EQ(m_api.nvEncCreateBitstreamBuffer(session, &create), NV_ENC_SUCCESS);
        return create.bitstreamBuffer;
    }

    static NV_ENC_PIC_PARAMS Picture(NV_ENC_INPUT_PTR input, NV_ENC_OUTPUT_PTR output,
                                     uint64_t timeStamp = 0) {
        NV_ENC_PIC_PARAMS pic = {};
        pic.version = NV_ENC_PIC_PARAMS_VER;
        pic.inputWidth = kWidth;
        pic.inputHeight = kHeight;
        pic.inputBuffer = input;
        pic.outputBitstream = output;
        pic.bufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
        pic.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
        pic.inputTimeStamp = timeStamp;
        return pic;
    }

    NVENCSTATUS Encode(void* session, NV_ENC_PIC_PARAMS pic) {
        return m_api.nvEncEncodePicture(session, &pic);
    }

    NVENCSTATUS SendEos(void* session) {
        NV_ENC_PIC_PARAMS eos = {};
        eos.version = NV_ENC_PIC_PARAMS_VER;
        eos.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
        return m_api.nvEncEncodePicture(session, &eos);
    }

    // Submits n pictures, each from its own input to its own buffer, stamped n; with B
    // pictures x265 may hold them back.
    struct Submitted {
        std::vector<Input> inputs;
        std::vector<NV_ENC_OUTPUT_PTR> outputs;
        bool held = false;  // some submission answered "need more input"
    };
    // Submits pattern pictures first to end - 1, each with its own input and buffer.
    void SubmitHeld(void* session, int first, int end, Submitted* submitted) {
        for (int n = first; n < end; ++n) {
            submitted->inputs.push_back(MakeInput(session, n));
            submitted->outputs.push_back(MakeBitstream(session));
            const NVENCSTATUS status = Encode(
                session, Picture(submitted->inputs.back().mapped, submitted->outputs.back(), n));
            ASSERT_TRUE(status == NV_ENC_SUCCESS || status == NV_ENC_ERR_NEED_MORE_INPUT)
                << n << ": " << status;
            submitted->held = submitted->held || status == NV_ENC_ERR_NEED_MORE_INPUT;
        }
    }

    // Locks, copies and unlocks one buffer.
    std::vector<uint8_t> Collect(void* session, NV_ENC_OUTPUT_PTR output,
                                 NV_ENC_LOCK_BITSTREAM* seen = nullptr, bool doNotWait = false) {
        NV_ENC_LOCK_BITSTREAM lock = LockParams(output);
        lock.doNotWait = doNotWait ? 1 : 0;
        EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_SUCCESS);
        const auto* bytes = static_cast<const uint8_t*>(lock.bitstreamBufferPtr);
        std::vector<uint8_t> packet(bytes, bytes + lock.bitstreamSizeInBytes);
        EXPECT_EQ(m_api.nvEncUnlockBitstream(session, output), NV_ENC_SUCCESS);
        if (seen) {
            *seen = lock;
        }
        return packet;
    }

    CUcontext m_context = nullptr;
    NV_ENCODE_API_FUNCTION_LIST m_api = {};
    std::vector<void*> m_sessions;
    std::vector<CUdeviceptr> m_buffers;
};

TEST_F(SoftwareEncoderApi, EntryPointsReportVersionAndFillTheList) {
    uint32_t version = 0;
    EXPECT_EQ(camfx::swenc::GetMaxSupportedVersion(&version), NV_ENC_SUCCESS);
    EXPECT_EQ(version, 0xC2u);
    EXPECT_EQ(camfx::swenc::GetMaxSupportedVersion(nullptr), NV_ENC_ERR_INVALID_PTR);

    EXPECT_EQ(camfx::swenc::CreateInstance(nullptr), NV_ENC_ERR_INVALID_PTR);
    NV_ENCODE_API_FUNCTION_LIST old = {};
    old.version = NVENCAPI_STRUCT_VERSION(1);
    EXPECT_EQ(camfx::swenc::CreateInstance(&old), NV_ENC_ERR_INVALID_VERSION);
    EXPECT_EQ(old.nvEncOpenEncodeSessionEx, nullptr);

    // Every entry the encoder wrapper may call is filled, by name: the published header's
    // list has more entries than ours, in another layout.
    const std::vector<std::pair<const char*, bool>> entries = {
#define CAMFX_ENTRY(name) {#name, m_api.name != nullptr}
        CAMFX_ENTRY(nvEncOpenEncodeSession),      CAMFX_ENTRY(nvEncOpenEncodeSessionEx),
        CAMFX_ENTRY(nvEncGetEncodeCaps),          CAMFX_ENTRY(nvEncGetEncodePresetConfigEx),
        CAMFX_ENTRY(nvEncInitializeEncoder),      CAMFX_ENTRY(nvEncCreateBitstreamBuffer),
        CAMFX_ENTRY(nvEncDestroyBitstreamBuffer), CAMFX_ENTRY(nvEncEncodePicture),
        CAMFX_ENTRY(nvEncLockBitstream),          CAMFX_ENTRY(nvEncUnlockBitstream),
        CAMFX_ENTRY(nvEncRegisterAsyncEvent),     CAMFX_ENTRY(nvEncUnregisterAsyncEvent),
        CAMFX_ENTRY(nvEncMapInputResource),       CAMFX_ENTRY(nvEncUnmapInputResource),
        CAMFX_ENTRY(nvEncRegisterResource),       CAMFX_ENTRY(nvEncUnregisterResource),
        CAMFX_ENTRY(nvEncCreateMVBuffer),         CAMFX_ENTRY(nvEncDestroyMVBuffer),
        CAMFX_ENTRY(nvEncDestroyEncoder),         CAMFX_ENTRY(nvEncGetLastErrorString),
        CAMFX_ENTRY(nvEncGetEncodeGUIDCount),     CAMFX_ENTRY(nvEncGetEncodeGUIDs),
#undef CAMFX_ENTRY
    };
    for (const auto& [name, filled] : entries) {
        EXPECT_TRUE(filled) << name;
    }
    EXPECT_EQ(m_api.version, NV_ENCODE_API_FUNCTION_LIST_VER);
}

TEST_F(SoftwareEncoderApi, SessionsOpenOnCudaContextsOnly) {
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params = OpenParams();
    void* session = nullptr;
    EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(nullptr, &session), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(&params, nullptr), NV_ENC_ERR_INVALID_PTR);
    using OpenArgs = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS;
    ExpectRefusals<OpenArgs>(
        params, [&](OpenArgs* p) { return m_api.nvEncOpenEncodeSessionEx(p, &session); },
        {SPOILED(p.version = NVENCAPI_STRUCT_VERSION(2), NV_ENC_ERR_INVALID_VERSION),
         // 12.3: newer than we are.
         SPOILED(p.apiVersion = NVENCAPI_MAJOR_VERSION | (3 << 24), NV_ENC_ERR_INVALID_VERSION),
         SPOILED(p.deviceType = NV_ENC_DEVICE_TYPE_OPENGL, NV_ENC_ERR_UNSUPPORTED_DEVICE),
         SPOILED(p.device = nullptr, NV_ENC_ERR_INVALID_DEVICE)});
    EXPECT_EQ(session, nullptr);

    ASSERT_EQ(m_api.nvEncOpenEncodeSessionEx(&params, &session), NV_ENC_SUCCESS);
    ASSERT_NE(session, nullptr);
    void* legacy = nullptr;
    ASSERT_EQ(m_api.nvEncOpenEncodeSession(m_context, NV_ENC_DEVICE_TYPE_CUDA, &legacy),
              NV_ENC_SUCCESS);
    EXPECT_NE(legacy, session);

    // Destroy ends a session once; its handle is then unknown, like any other.
    EXPECT_EQ(m_api.nvEncDestroyEncoder(session), NV_ENC_SUCCESS);
    EXPECT_EQ(m_api.nvEncDestroyEncoder(session), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncDestroyEncoder(nullptr), NV_ENC_ERR_INVALID_PTR);
    int dummy = 0;
    EXPECT_EQ(m_api.nvEncDestroyEncoder(&dummy), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncDestroyEncoder(legacy), NV_ENC_SUCCESS);
}

TEST_F(SoftwareEncoderApi, CapabilitiesAreSynchronousHevc) {
    void* session = Open();
    NV_ENC_CAPS_PARAM caps = {};
    caps.version = NV_ENC_CAPS_PARAM_VER;
    caps.capsToQuery = NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT;
    int value = -1;
    EXPECT_EQ(m_api.nvEncGetEncodeCaps(session, NV_ENC_CODEC_HEVC_GUID, &caps, &value),
              NV_ENC_SUCCESS);
    EXPECT_EQ(value, 0);
    caps.capsToQuery = NV_ENC_CAPS_WIDTH_MAX;
    EXPECT_EQ(m_api.nvEncGetEncodeCaps(session, NV_ENC_CODEC_HEVC_GUID, &caps, &value),
              NV_ENC_SUCCESS);
    EXPECT_GE(value, kWidth);

    value = -1;
    const GUID bogus = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(m_api.nvEncGetEncodeCaps(session, bogus, &caps, &value),
              NV_ENC_ERR_UNSUPPORTED_PARAM);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(m_api.nvEncGetEncodeCaps(session, NV_ENC_CODEC_HEVC_GUID, nullptr, &value),
              NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncGetEncodeCaps(nullptr, NV_ENC_CODEC_HEVC_GUID, &caps, &value),
              NV_ENC_ERR_INVALID_PTR);
    caps.version = NV_ENC_CAPS_PARAM_VER + 1;
    EXPECT_EQ(m_api.nvEncGetEncodeCaps(session, NV_ENC_CODEC_HEVC_GUID, &caps, &value),
              NV_ENC_ERR_INVALID_VERSION);
}

TEST_F(SoftwareEncoderApi, PresetTableCoversEveryPresetAndTuning) {
    void* session = Open();
    const GUID presets[] = {NV_ENC_PRESET_P1_GUID, NV_ENC_PRESET_P2_GUID, NV_ENC_PRESET_P3_GUID,
                            NV_ENC_PRESET_P4_GUID, NV_ENC_PRESET_P5_GUID, NV_ENC_PRESET_P6_GUID,
                            NV_ENC_PRESET_P7_GUID};
    auto fresh = [] {
        NV_ENC_PRESET_CONFIG preset = {};
        preset.version = NV_ENC_PRESET_CONFIG_VER;
        preset.presetCfg.version = NV_ENC_CONFIG_VER;
        return preset;
    };
    NV_ENC_PRESET_CONFIG preset;
    for (int p = 0; p < 7; ++p) {
        for (int t = NV_ENC_TUNING_INFO_UNDEFINED; t <= NV_ENC_TUNING_INFO_ULTRA_HIGH_QUALITY;
             ++t) {
            const auto tuning = static_cast<NV_ENC_TUNING_INFO>(t);
            SCOPED_TRACE("P" + std::to_string(p + 1) + " tuning " + std::to_string(t));
            preset = fresh();
            ASSERT_EQ(GetPreset(session, NV_ENC_CODEC_HEVC_GUID, presets[p], tuning, &preset),
                      NV_ENC_SUCCESS);
            const NV_ENC_CONFIG& c = preset.presetCfg;
            EXPECT_EQ(c.version, NV_ENC_CONFIG_VER);
            EXPECT_EQ(c.rcParams.version, NV_ENC_RC_PARAMS_VER);
            EXPECT_EQ(c.encodeCodecConfig.hevcConfig.chromaFormatIDC, 1u);
            EXPECT_EQ(c.encodeCodecConfig.hevcConfig.idrPeriod, c.gopLength);
            if (tuning == NV_ENC_TUNING_INFO_LOW_LATENCY ||
                tuning == NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY) {
                EXPECT_EQ(c.gopLength, NVENC_INFINITE_GOPLENGTH);
                EXPECT_EQ(c.frameIntervalP, 1);
                EXPECT_EQ(c.rcParams.lookaheadDepth, 0);
            } else {
                EXPECT_EQ(c.gopLength, 250u);
                EXPECT_GE(c.frameIntervalP, 1);
            }
            if (tuning == NV_ENC_TUNING_INFO_LOSSLESS) {
                EXPECT_EQ(c.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
                EXPECT_EQ(c.rcParams.constQP.qpInterP, 0u);
            } else {
                EXPECT_EQ(c.rcParams.rateControlMode, NV_ENC_PARAMS_RC_VBR);
                EXPECT_EQ(c.rcParams.averageBitRate, 0u);
                EXPECT_EQ(c.rcParams.targetQuality, 26);
            }
        }
    }

    const GUID hevc = NV_ENC_CODEC_HEVC_GUID, p3 = NV_ENC_PRESET_P3_GUID;
    const GUID bogus = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    const auto low = NV_ENC_TUNING_INFO_LOW_LATENCY;
    preset = fresh();
    EXPECT_EQ(GetPreset(session, bogus, p3, low, &preset), NV_ENC_ERR_UNSUPPORTED_PARAM);
    EXPECT_EQ(GetPreset(session, hevc, bogus, low, &preset), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(GetPreset(session, hevc, p3, static_cast<NV_ENC_TUNING_INFO>(9), &preset),
              NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(GetPreset(session, hevc, p3, low, nullptr), NV_ENC_ERR_INVALID_PTR);
    preset.presetCfg.version = NV_ENC_CONFIG_VER - 1;
    EXPECT_EQ(GetPreset(session, hevc, p3, low, &preset), NV_ENC_ERR_INVALID_VERSION);
}

// The recorder's P1-P3 at (ultra-)low latency go below libx265's fastest preset; the other
// presets and tunings keep libx265's own.
TEST(SoftwareEncoderSettings, FastestLowLatencyOnlyForP1ToP3) {
    using camfx::swenc::X265SettingsFor;
    camfx::swenc::X265Settings x265;
    for (int preset = 1; preset <= 7; ++preset) {
        for (int t = NV_ENC_TUNING_INFO_UNDEFINED; t <= NV_ENC_TUNING_INFO_ULTRA_HIGH_QUALITY;
             ++t) {
            SCOPED_TRACE("P" + std::to_string(preset) + " tuning " + std::to_string(t));
            const auto tuning = static_cast<NV_ENC_TUNING_INFO>(t);
            ASSERT_TRUE(X265SettingsFor(preset, tuning, &x265));
            const bool lowLatency = tuning == NV_ENC_TUNING_INFO_LOW_LATENCY ||
                                    tuning == NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY;
            EXPECT_EQ(x265.tune, lowLatency ? "zerolatency" : "");
            EXPECT_EQ(x265.params.rfind("rd=1:", 0) == 0, lowLatency && preset <= 3) << x265.params;
            EXPECT_EQ(x265.keyframeInterval, lowLatency ? -1 : 250);
            EXPECT_EQ(x265.crf, tuning == NV_ENC_TUNING_INFO_LOSSLESS ? 0 : 26);
            EXPECT_EQ(x265.frameThreads > 1, lowLatency);
        }
    }
    EXPECT_TRUE(X265SettingsFor(3, NV_ENC_TUNING_INFO_LOW_LATENCY, &x265));
    EXPECT_EQ(x265.preset, "ultrafast");
    EXPECT_FALSE(X265SettingsFor(3, NV_ENC_TUNING_INFO_LOW_LATENCY, nullptr));
    EXPECT_FALSE(X265SettingsFor(8, NV_ENC_TUNING_INFO_LOW_LATENCY, &x265));
    EXPECT_FALSE(X265SettingsFor(3, static_cast<NV_ENC_TUNING_INFO>(6), &x265));
}

TEST_F(SoftwareEncoderApi, InitializeRefusesWhatHevcMainCannotCarry) {
    void* session = Open();
    InitParams params = Defaults(session);
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, nullptr), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(Initialize(nullptr, &params), NV_ENC_ERR_INVALID_PTR);
    ExpectRefusals<InitParams>(
        params, [&](InitParams* p) { return Initialize(session, p); },
        {SPOILED(p.init.encodeGUID = NV_ENC_PRESET_P3_GUID, NV_ENC_ERR_UNSUPPORTED_PARAM),
         SPOILED(p.init.version = NV_ENC_INITIALIZE_PARAMS_VER & ~(1u << 31),
                 NV_ENC_ERR_INVALID_VERSION),
         // 4:2:0 needs even sizes.
         SPOILED(p.init.encodeWidth = 1279, NV_ENC_ERR_INVALID_PARAM),
         SPOILED(p.init.encodeHeight = 0, NV_ENC_ERR_INVALID_PARAM),
         SPOILED(p.init.frameRateDen = 0, NV_ENC_ERR_INVALID_PARAM),
         SPOILED(p.init.enableEncodeAsync = 1, NV_ENC_ERR_UNSUPPORTED_PARAM),
         SPOILED(p.init.enableMEOnlyMode = 1, NV_ENC_ERR_UNSUPPORTED_PARAM),
         SPOILED(p.config.encodeCodecConfig.hevcConfig.inputBitDepth =
                     p.config.encodeCodecConfig.hevcConfig.outputBitDepth = NV_ENC_BIT_DEPTH_10,
                 NV_ENC_ERR_UNSUPPORTED_PARAM),
         SPOILED(p.config.encodeCodecConfig.hevcConfig.chromaFormatIDC = 3,
                 NV_ENC_ERR_UNSUPPORTED_PARAM),
         SPOILED(p.config.version = NV_ENC_CONFIG_VER + 1, NV_ENC_ERR_INVALID_VERSION),
         // CBR without a bit rate.
         SPOILED(p.config.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CBR,
                 NV_ENC_ERR_INVALID_PARAM)});
    EXPECT_EQ(camfx::swenc::DescribeSession(session), "");

    // None of the refusals used the session up.
    ASSERT_EQ(Initialize(session, &params), NV_ENC_SUCCESS);
    EXPECT_EQ(Initialize(session, &params), NV_ENC_ERR_INVALID_CALL);

    // It can say what encodes, for the line that tells the user.
    const std::string description = camfx::swenc::DescribeSession(session);
    EXPECT_EQ(description.rfind("libx265 ", 0), 0u) << description;
    EXPECT_NE(description.find("1280x720 at 30/1 fps"), std::string::npos) << description;
}

TEST_F(SoftwareEncoderApi, InitializeWithoutConfigUsesThePreset) {
    void* session = Open();
    InitParams params = Defaults(session);
    params.init.encodeConfig = nullptr;
    ASSERT_EQ(m_api.nvEncInitializeEncoder(session, &params.init), NV_ENC_SUCCESS);
    Input in = MakeInput(session, 0);
    NV_ENC_OUTPUT_PTR out = MakeBitstream(session);
    // Low latency: the picture's access unit is ready when the call returns.
    ASSERT_EQ(Encode(session, Picture(in.mapped, out)), NV_ENC_SUCCESS);
    EXPECT_TRUE(StartsWithVps(Collect(session, out)));
}

TEST_F(SoftwareEncoderApi, BadCallsGetTheirStatusAndLeaveTheSessionUsable) {
    void* session = Open();
    Input in = MakeInput(session, 0);
    NV_ENC_OUTPUT_PTR out = MakeBitstream(session);
    const NV_ENC_PIC_PARAMS pic = Picture(in.mapped, out, 1000);
    EXPECT_EQ(Encode(session, pic), NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
    InitParams params = Defaults(session);
    ASSERT_EQ(Initialize(session, &params), NV_ENC_SUCCESS);

    // Pictures.
    int stranger = 0;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, nullptr), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(Encode(nullptr, pic), NV_ENC_ERR_INVALID_PTR);
    using Pic = NV_ENC_PIC_PARAMS;
    ExpectRefusals<Pic>(
        pic, [&](Pic* p) { return m_api.nvEncEncodePicture(session, p); },
        {SPOILED(p.version = NV_ENC_PIC_PARAMS_VER - 1, NV_ENC_ERR_INVALID_VERSION),
         SPOILED(p.inputBuffer = nullptr, NV_ENC_ERR_INVALID_PTR),
         SPOILED(p.outputBitstream = nullptr, NV_ENC_ERR_INVALID_PTR),
         SPOILED(p.inputBuffer = &stranger, NV_ENC_ERR_INVALID_PARAM),
         SPOILED(p.outputBitstream = &stranger, NV_ENC_ERR_INVALID_PARAM),
         SPOILED((p.inputWidth = 640, p.inputHeight = 360), NV_ENC_ERR_INVALID_PARAM),
         SPOILED(p.bufferFmt = NV_ENC_BUFFER_FORMAT_YUV444, NV_ENC_ERR_INVALID_PARAM),
         SPOILED(p.pictureStruct = NV_ENC_PIC_STRUCT_FIELD_TOP_BOTTOM,
                 NV_ENC_ERR_UNSUPPORTED_PARAM)});

    // Buffers and resources.
    using Lock = NV_ENC_LOCK_BITSTREAM;
    ExpectRefusals<Lock>(LockParams(out),
                         [&](Lock* p) { return m_api.nvEncLockBitstream(session, p); },
                         {SPOILED((void)p, NV_ENC_ERR_INVALID_CALL),  // nothing encoded into it yet
                          SPOILED(p.outputBitstream = &stranger, NV_ENC_ERR_INVALID_PARAM),
                          SPOILED(p.version = 0, NV_ENC_ERR_INVALID_VERSION)});
    EXPECT_EQ(m_api.nvEncUnlockBitstream(session, out), NV_ENC_ERR_INVALID_CALL);
    EXPECT_EQ(m_api.nvEncLockBitstream(session, nullptr), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncUnlockBitstream(session, &stranger), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(m_api.nvEncDestroyBitstreamBuffer(session, &stranger), NV_ENC_ERR_INVALID_PARAM);

    NV_ENC_MAP_INPUT_RESOURCE map = {};
    map.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    map.registeredResource = &stranger;
    EXPECT_EQ(m_api.nvEncMapInputResource(session, &map), NV_ENC_ERR_RESOURCE_NOT_REGISTERED);
    map.version = NV_ENC_MAP_INPUT_RESOURCE_VER + 1;
    map.registeredResource = in.registered;
    EXPECT_EQ(m_api.nvEncMapInputResource(session, &map), NV_ENC_ERR_INVALID_VERSION);
    EXPECT_EQ(m_api.nvEncUnmapInputResource(session, &stranger), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    EXPECT_EQ(m_api.nvEncUnregisterResource(session, &stranger),
              NV_ENC_ERR_RESOURCE_NOT_REGISTERED);

    size_t pitch = 0;
    const CUdeviceptr other = Allocate(&pitch);
    using Reg = NV_ENC_REGISTER_RESOURCE;
    ExpectRefusals<Reg>(
        RegisterParams(other, pitch),
        [&](Reg* p) { return m_api.nvEncRegisterResource(session, p); },
        {SPOILED(p.bufferFormat = NV_ENC_BUFFER_FORMAT_YUV444, NV_ENC_ERR_UNSUPPORTED_PARAM),
         SPOILED(p.resourceToRegister = nullptr, NV_ENC_ERR_INVALID_PTR),
         SPOILED(p.pitch = kWidth - 2, NV_ENC_ERR_INVALID_PARAM),
         SPOILED(p.version = NV_ENC_REGISTER_RESOURCE_VER + 1, NV_ENC_ERR_INVALID_VERSION)});

    NV_ENC_CREATE_BITSTREAM_BUFFER create = {};
    create.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER + 1;
    EXPECT_EQ(m_api.nvEncCreateBitstreamBuffer(session, &create), NV_ENC_ERR_INVALID_VERSION);
    NV_ENC_CREATE_MV_BUFFER mv = {};
    mv.version = NV_ENC_CREATE_MV_BUFFER_VER;
    EXPECT_EQ(m_api.nvEncCreateMVBuffer(session, &mv), NV_ENC_ERR_UNSUPPORTED_PARAM);
    NV_ENC_EVENT_PARAMS event = {};
    event.version = NV_ENC_EVENT_PARAMS_VER;
    EXPECT_EQ(m_api.nvEncRegisterAsyncEvent(session, &event), NV_ENC_ERR_INVALID_EVENT);
    // As the Linux driver does: a synchronous session takes no events, in any call.
    event.completionEvent = &stranger;
    EXPECT_EQ(m_api.nvEncRegisterAsyncEvent(session, &event), NV_ENC_ERR_UNSUPPORTED_PARAM);
    EXPECT_EQ(m_api.nvEncUnregisterAsyncEvent(session, &event), NV_ENC_ERR_EVENT_NOT_REGISTERD);
    NV_ENC_PIC_PARAMS signalled = pic;
    signalled.completionEvent = &stranger;
    EXPECT_EQ(Encode(session, signalled), NV_ENC_ERR_INVALID_PARAM);

    // After all that the session still encodes: the first picture is an IDR with the
    // parameter sets, the second a P picture, each with its own time stamp.
    ASSERT_EQ(Encode(session, pic), NV_ENC_SUCCESS);
    EXPECT_EQ(Encode(session, pic), NV_ENC_SUCCESS)
        << "a ready buffer that was never locked is reused";
    NV_ENC_LOCK_BITSTREAM seen;
    EXPECT_FALSE(Collect(session, out, &seen).empty());
    EXPECT_EQ(seen.pictureType, NV_ENC_PIC_TYPE_P);

    NV_ENC_OUTPUT_PTR second = MakeBitstream(session);
    NV_ENC_PIC_PARAMS next = Picture(in.mapped, second, 2000);
    next.frameIdx = 7;
    ASSERT_EQ(Encode(session, next), NV_ENC_SUCCESS);
    NV_ENC_LOCK_BITSTREAM lock = LockParams(second);
    ASSERT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_SUCCESS);
    EXPECT_EQ(lock.outputTimeStamp, 2000u);
    EXPECT_EQ(lock.frameIdx, 7u);
    EXPECT_EQ(lock.pictureType, NV_ENC_PIC_TYPE_P);
    EXPECT_GT(lock.bitstreamSizeInBytes, 0u);
    // A locked buffer cannot be locked again or take a new picture until unlocked.
    EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_ERR_INVALID_CALL);
    EXPECT_EQ(Encode(session, next), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(m_api.nvEncUnlockBitstream(session, second), NV_ENC_SUCCESS);

    EXPECT_EQ(m_api.nvEncUnmapInputResource(session, in.mapped), NV_ENC_SUCCESS);
    EXPECT_EQ(m_api.nvEncUnmapInputResource(session, in.mapped), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    EXPECT_EQ(Encode(session, next), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(m_api.nvEncUnregisterResource(session, in.registered), NV_ENC_SUCCESS);
    EXPECT_EQ(m_api.nvEncDestroyBitstreamBuffer(session, out), NV_ENC_SUCCESS);
    EXPECT_EQ(m_api.nvEncDestroyBitstreamBuffer(session, out), NV_ENC_ERR_INVALID_PARAM);
}

TEST_F(SoftwareEncoderApi, FailedCopyFromTheDeviceLosesOnlyThatPicture) {
    void* session = OpenInitialized();
    Input in = MakeInput(session, 0);
    NV_ENC_OUTPUT_PTR out = MakeBitstream(session);
    const NV_ENC_PIC_PARAMS pic = Picture(in.mapped, out);
    cudahost::failDriverCall("cuMemcpy2D", CUDA_ERROR_ILLEGAL_ADDRESS);
    EXPECT_EQ(Encode(session, pic), NV_ENC_ERR_GENERIC);
    EXPECT_STREQ(m_api.nvEncGetLastErrorString(session),
                 "cuMemcpy2D of the input picture failed: CUDA_ERROR_ILLEGAL_ADDRESS");
    cudahost::failDriverCall("cuCtxPushCurrent", CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(Encode(session, pic), NV_ENC_ERR_GENERIC);
    EXPECT_STREQ(m_api.nvEncGetLastErrorString(session),
                 "cuCtxPushCurrent of the session's context failed: CUDA_ERROR_INVALID_CONTEXT");
    // A later failure with nothing more to say does not carry the earlier reason.
    EXPECT_EQ(m_api.nvEncUnlockBitstream(session, out), NV_ENC_ERR_INVALID_CALL);
    EXPECT_STREQ(m_api.nvEncGetLastErrorString(session), "");
    ASSERT_EQ(Encode(session, pic), NV_ENC_SUCCESS);
    EXPECT_TRUE(StartsWithVps(Collect(session, out)));
    // The context stack is balanced again: the test's own context is current.
    CUcontext current = nullptr;
    EXPECT_EQ(cuCtxGetCurrent(&current), CUDA_SUCCESS);
    EXPECT_EQ(current, m_context);
}

TEST_F(SoftwareEncoderApi, EndOfStreamOnAnEmptySessionGivesNothingAndASecondIsRefused) {
    void* session = OpenInitialized();
    EXPECT_EQ(SendEos(session), NV_ENC_SUCCESS);
    EXPECT_EQ(SendEos(session), NV_ENC_ERR_INVALID_CALL);
    EXPECT_STREQ(m_api.nvEncGetLastErrorString(session), "the stream has already ended");
    NV_ENC_LOCK_BITSTREAM lock = LockParams(MakeBitstream(session));
    EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_ERR_INVALID_CALL);
}

// A caller with several buffers, collecting each picture only `lag` submissions later as
// the wrapper does: pictures are in flight at once, every submission answers "need more
// input" while its own picture is not ready, each buffer comes back with its own picture
// and time stamp in submission order, and the end of stream releases the rest. One stream:
// nothing drains in between.
TEST_F(SoftwareEncoderApi, PicturesInFlightComeBackInSubmissionOrderWithTheirTimeStamps) {
    camfx::swenc::X265Settings x265;
    ASSERT_TRUE(camfx::swenc::X265SettingsFor(3, NV_ENC_TUNING_INFO_LOW_LATENCY, &x265));
    const int inFlight = x265.frameThreads;
    ASSERT_GT(inFlight, 1);
    void* session = OpenInitialized();
    constexpr int kBuffers = 4;
    constexpr int kLag = kBuffers - 1;
    constexpr int kCount = 12;
    std::vector<Input> inputs;
    std::vector<NV_ENC_OUTPUT_PTR> outputs;
    for (int k = 0; k < kBuffers; ++k) {
        inputs.push_back(MakeInput(session, 0));
        outputs.push_back(MakeBitstream(session));
    }
    auto stamp = [](int n) { return 1000000u + 33333u * uint64_t(n); };
    std::vector<uint8_t> stream;
    // Within the lag, a picture is ready when its buffer is wanted: no lock waits.
    auto collect = [&](int n) {
        NV_ENC_LOCK_BITSTREAM seen;
        std::vector<uint8_t> packet = Collect(session, outputs[n % kBuffers], &seen, true);
        EXPECT_EQ(seen.outputTimeStamp, stamp(n)) << n;
        EXPECT_EQ(seen.frameIdx, uint32_t(n)) << n;
        EXPECT_EQ(seen.pictureType, n == 0 ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P) << n;
        EXPECT_EQ(StartsWithVps(packet), n == 0) << n;
        Append(&stream, packet);
    };
    for (int n = 0; n < kCount; ++n) {
        const Input& in = inputs[n % kBuffers];
        UploadNv12(in.buffer, in.pitch, PatternNv12(n));
        NV_ENC_PIC_PARAMS pic = Picture(in.mapped, outputs[n % kBuffers], stamp(n));
        pic.frameIdx = uint32_t(n);
        ASSERT_EQ(Encode(session, pic), NV_ENC_ERR_NEED_MORE_INPUT) << n;
        // x265 still holds the last `inFlight` - 1 pictures, this one included.
        for (int back = 0; back < inFlight - 1 && back <= n; ++back) {
            NV_ENC_LOCK_BITSTREAM busy = LockParams(outputs[(n - back) % kBuffers]);
            busy.doNotWait = 1;
            EXPECT_EQ(m_api.nvEncLockBitstream(session, &busy), NV_ENC_ERR_LOCK_BUSY) << n;
        }
        if (n >= kLag) {
            collect(n - kLag);
        }
    }
    ASSERT_EQ(SendEos(session), NV_ENC_SUCCESS);
    for (int n = kCount - kLag; n < kCount; ++n) {
        collect(n);
    }
    ExpectPatternStream(stream, kCount, "inflight");
}

// A session may end with pictures still in x265 and buffers never locked: destroying it
// releases them (the sanitizer builds see any leak or use after free).
TEST_F(SoftwareEncoderApi, SessionEndsWithPicturesInFlight) {
    for (bool endOfStream : {false, true}) {
        SCOPED_TRACE(endOfStream ? "after the end of stream" : "mid-stream");
        void* session = OpenInitialized();
        std::vector<NV_ENC_OUTPUT_PTR> outputs;
        for (int k = 0; k < 4; ++k) {
            outputs.push_back(MakeBitstream(session));
        }
        Input in = MakeInput(session, 0);
        for (int n = 0; n < 3; ++n) {
            ASSERT_EQ(Encode(session, Picture(in.mapped, outputs[n], n)),
                      NV_ENC_ERR_NEED_MORE_INPUT);
        }
        if (endOfStream) {
            ASSERT_EQ(SendEos(session), NV_ENC_SUCCESS);
            NV_ENC_LOCK_BITSTREAM lock = LockParams(outputs[2]);
            lock.doNotWait = 1;
            ASSERT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_SUCCESS);
            EXPECT_EQ(lock.outputTimeStamp, 2u);
        }
        EXPECT_EQ(m_api.nvEncDestroyEncoder(session), NV_ENC_SUCCESS);
        m_sessions.pop_back();
        EXPECT_EQ(Encode(session, Picture(in.mapped, outputs[3])), NV_ENC_ERR_INVALID_PTR);
    }
}

// Locking sooner than the buffers allow: x265 cannot give that picture alone, so the
// encoder drains and goes on with a new stream (an IDR with parameter sets).
TEST_F(SoftwareEncoderApi, LowLatencyLockBeforeThePictureIsDoneDrains) {
    void* session = OpenInitialized();
    NV_ENC_OUTPUT_PTR first = MakeBitstream(session);
    NV_ENC_OUTPUT_PTR second = MakeBitstream(session);
    Input in = MakeInput(session, 0);
    std::vector<uint8_t> stream;
    ASSERT_EQ(Encode(session, Picture(in.mapped, first, 10)), NV_ENC_ERR_NEED_MORE_INPUT);
    NV_ENC_LOCK_BITSTREAM seen;
    Append(&stream, Collect(session, first, &seen));
    EXPECT_EQ(seen.outputTimeStamp, 10u);
    for (int n = 1; n <= 2; ++n) {
        UploadNv12(in.buffer, in.pitch, PatternNv12(n));
        ASSERT_EQ(Encode(session, Picture(in.mapped, second, 10 + n)), NV_ENC_ERR_NEED_MORE_INPUT);
        std::vector<uint8_t> packet = Collect(session, second, &seen);
        EXPECT_EQ(seen.outputTimeStamp, uint64_t(10 + n));
        EXPECT_EQ(seen.pictureType, NV_ENC_PIC_TYPE_IDR) << n;
        EXPECT_TRUE(StartsWithVps(packet)) << n;
        Append(&stream, packet);
    }
    ExpectPatternStream(stream, 3, "early");
}

// Locking a buffer whose picture x265 still holds cannot wait for more input: the
// encoder drains and starts a new stream, which still decodes as one.
TEST_F(SoftwareEncoderApi, EarlyLockDrainsAndTheStreamGoesOn) {
    void* session = OpenInitialized(NV_ENC_TUNING_INFO_HIGH_QUALITY);
    constexpr int kCount = 8;
    Submitted submitted;
    std::vector<uint8_t> stream;
    ASSERT_NO_FATAL_FAILURE(SubmitHeld(session, 0, 3, &submitted));
    // Collect the first three at once, as a client with a short lag would.
    for (int k = 0; k <= 2; ++k) {
        std::vector<uint8_t> packet = Collect(session, submitted.outputs[k]);
        EXPECT_FALSE(packet.empty()) << k;
        Append(&stream, packet);
    }
    ASSERT_NO_FATAL_FAILURE(SubmitHeld(session, 3, kCount, &submitted));
    ASSERT_EQ(SendEos(session), NV_ENC_SUCCESS);
    for (int k = 3; k < kCount; ++k) {
        NV_ENC_LOCK_BITSTREAM seen;
        std::vector<uint8_t> packet = Collect(session, submitted.outputs[k], &seen);
        if (k == 3) {
            EXPECT_EQ(seen.pictureType, NV_ENC_PIC_TYPE_IDR);
            EXPECT_TRUE(StartsWithVps(packet));
        }
        Append(&stream, packet);
    }
    ExpectPatternStream(stream, kCount, "api");
}

TEST_F(SoftwareEncoderApi, DestroyReleasesEverythingStillLive) {
    void* session = OpenInitialized(NV_ENC_TUNING_INFO_HIGH_QUALITY);
    Input in = MakeInput(session, 0);
    NV_ENC_OUTPUT_PTR held = MakeBitstream(session);
    NV_ENC_OUTPUT_PTR locked = MakeBitstream(session);
    Encode(session, Picture(in.mapped, held));
    const NV_ENC_PIC_PARAMS pic = Picture(in.mapped, locked);
    Encode(session, pic);
    NV_ENC_LOCK_BITSTREAM lock = LockParams(locked);
    ASSERT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_SUCCESS);

    EXPECT_EQ(m_api.nvEncDestroyEncoder(session), NV_ENC_SUCCESS);
    m_sessions.clear();
    // Its handles are gone with it.
    EXPECT_EQ(m_api.nvEncUnlockBitstream(session, locked), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(Encode(session, pic), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncUnregisterResource(session, in.registered), NV_ENC_ERR_INVALID_PTR);
}

// ---- every codec ----------------------------------------------------------------------

struct CodecCase {
    const char* name;
    GUID guid;
    StreamFormat format;
};

bool SameCodec(const CodecCase& codec, const GUID& guid) {
    return std::memcmp(&codec.guid, &guid, sizeof(GUID)) == 0;
}

std::ostream& operator<<(std::ostream& out, const CodecCase& codec) {
    return out << codec.name;
}

// A key frame's access unit opens with what a decoder needs to start there: SPS and PPS
// for H.264, VPS for HEVC, a sequence header before the frame for AV1.
bool StartsWithHeaders(const CodecCase& codec, const std::vector<uint8_t>& unit) {
    if (SameCodec(codec, NV_ENC_CODEC_AV1_GUID)) {
        const std::vector<int> obus = ObuTypes(unit);
        const auto header = std::find(obus.begin(), obus.end(), 1);  // OBU_SEQUENCE_HEADER
        const auto frame = std::find_if(obus.begin(), obus.end(),
                                        [](int t) { return t == 3 || t == 6 || t == -1; });
        return header != obus.end() && header < frame;
    }
    if (SameCodec(codec, NV_ENC_CODEC_H264_GUID)) {
        const std::vector<int> nals = NalTypes(unit, false);
        return nals.size() > 2 && nals[0] == 7 && nals[1] == 8;
    }
    return StartsWithVps(unit);
}

class SoftwareEncoderCodec : public SoftwareEncoderApi,
                             public ::testing::WithParamInterface<CodecCase> {
  protected:
    void* OpenCodec(InitParams* p, NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_LOW_LATENCY) {
        void* session = Open();
        *p = Defaults(session, tuning, GetParam().guid);
        return session;
    }

    // Encodes pattern pictures first to end - 1 through the recorder's four buffers,
    // collecting each three submissions later without waiting, then ends the stream; checks stamps,
    // and that key frames (with their headers) land exactly at `keys`.
    void EncodeEach(void* session, int first, int end, const std::vector<int>& keys,
                    const std::vector<int>& forced, std::vector<uint8_t>* stream) {
        if (!m_out[0]) {
            m_in = MakeInput(session, first);
            for (NV_ENC_OUTPUT_PTR& out : m_out) {
                out = MakeBitstream(session);
            }
        }
        auto collect = [&](int n) {
            NV_ENC_LOCK_BITSTREAM seen;
            std::vector<uint8_t> unit = Collect(session, m_out[n % kLagBuffers], &seen, true);
            const bool key = std::count(keys.begin(), keys.end(), n) > 0;
            EXPECT_EQ(seen.outputTimeStamp, uint64_t(100 * n));
            EXPECT_EQ(seen.pictureType, key ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P) << n;
            EXPECT_EQ(StartsWithHeaders(GetParam(), unit), key) << n;
            Append(stream, unit);
        };
        for (int n = first; n < end; ++n) {
            UploadNv12(m_in.buffer, m_in.pitch, PatternNv12(n));
            NV_ENC_PIC_PARAMS pic = Picture(m_in.mapped, m_out[n % kLagBuffers], 100 * n);
            if (std::count(forced.begin(), forced.end(), n)) {
                pic.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR;
            }
            const NVENCSTATUS status = Encode(session, pic);
            ASSERT_TRUE(status == NV_ENC_SUCCESS || status == NV_ENC_ERR_NEED_MORE_INPUT)
                << n << ": " << status;
            if (n - first >= kLagBuffers - 1) {
                collect(n - (kLagBuffers - 1));
            }
        }
        ASSERT_EQ(SendEos(session), NV_ENC_SUCCESS);
        for (int n = std::max(first, end - (kLagBuffers - 1)); n < end; ++n) {
            collect(n);
        }
    }

    static constexpr int kLagBuffers = 4;
    Input m_in;
    NV_ENC_OUTPUT_PTR m_out[kLagBuffers] = {};
};

// Low latency as the recorder runs it; key frames come at the start, where forced, and first after
// an end of stream, which drains everything; the stream decodes as one, picture for picture.
TEST_P(SoftwareEncoderCodec, LowLatencyKeyFramesWhereAskedAndAfterEndOfStream) {
    InitParams p;
    void* session = OpenCodec(&p);
    ASSERT_EQ(Initialize(session, &p), NV_ENC_SUCCESS);
    std::vector<uint8_t> stream;
    ASSERT_NO_FATAL_FAILURE(EncodeEach(session, 0, 12, {0, 5, 9}, {5, 9}, &stream));
    ASSERT_NO_FATAL_FAILURE(EncodeEach(session, 12, 16, {12}, {}, &stream));
    ExpectPatternStream(stream, 16, GetParam().name, GetParam().format);
}

// The IDR period is read from the codec's own configuration.
TEST_P(SoftwareEncoderCodec, KeyFramesAtTheIdrPeriod) {
    InitParams p;
    void* session = OpenCodec(&p);
    p.config.gopLength = 4;
    NV_ENC_CODEC_CONFIG& codec = p.config.encodeCodecConfig;
    if (SameCodec(GetParam(), NV_ENC_CODEC_H264_GUID)) {
        codec.h264Config.idrPeriod = 4;
    } else if (SameCodec(GetParam(), NV_ENC_CODEC_HEVC_GUID)) {
        codec.hevcConfig.idrPeriod = 4;
    } else {
        codec.av1Config.idrPeriod = 4;
    }
    ASSERT_EQ(Initialize(session, &p), NV_ENC_SUCCESS);
    std::vector<uint8_t> stream;
    ASSERT_NO_FATAL_FAILURE(EncodeEach(session, 0, 10, {0, 4, 8}, {}, &stream));
    ExpectPatternStream(stream, 10, GetParam().name, GetParam().format);
}

// As the recorder: four buffers, each locked three submissions after its picture, never
// waiting; every picture is back by then with its own stamp, in submission order.
TEST_P(SoftwareEncoderCodec, PicturesInFlightAreReadyWithinTheBuffersLag) {
    InitParams p;
    void* session = OpenCodec(&p);
    ASSERT_EQ(Initialize(session, &p), NV_ENC_SUCCESS);
    constexpr int kBuffers = 4;
    constexpr int kLag = kBuffers - 1;
    constexpr int kCount = 14;
    std::vector<Input> inputs;
    std::vector<NV_ENC_OUTPUT_PTR> outputs;
    for (int k = 0; k < kBuffers; ++k) {
        inputs.push_back(MakeInput(session, 0));
        outputs.push_back(MakeBitstream(session));
    }
    std::vector<uint8_t> stream;
    auto collect = [&](int n) {
        NV_ENC_LOCK_BITSTREAM seen;
        std::vector<uint8_t> unit = Collect(session, outputs[n % kBuffers], &seen, true);
        EXPECT_EQ(seen.outputTimeStamp, uint64_t(7 + n)) << n;
        EXPECT_EQ(seen.pictureType, n == 0 ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P) << n;
        EXPECT_EQ(StartsWithHeaders(GetParam(), unit), n == 0) << n;
        Append(&stream, unit);
    };
    for (int n = 0; n < kCount; ++n) {
        const Input& in = inputs[n % kBuffers];
        UploadNv12(in.buffer, in.pitch, PatternNv12(n));
        const NVENCSTATUS status =
            Encode(session, Picture(in.mapped, outputs[n % kBuffers], 7 + n));
        ASSERT_TRUE(status == NV_ENC_SUCCESS || status == NV_ENC_ERR_NEED_MORE_INPUT) << status;
        if (n >= kLag) {
            collect(n - kLag);
        }
    }
    ASSERT_EQ(SendEos(session), NV_ENC_SUCCESS);
    for (int n = kCount - kLag; n < kCount; ++n) {
        collect(n);
    }
    ExpectPatternStream(stream, kCount, GetParam().name, GetParam().format);
}

// The high-quality tunings (B pictures, lookahead) hold pictures back, so a lock that will
// not wait is told the picture is busy; the end of stream gives every one back, each stamp
// once, and the buffers, read in submission order, carry the stream in decode order.
TEST_P(SoftwareEncoderCodec, HighQualityStreamDrainsAtEndOfStream) {
    InitParams p;
    void* session = OpenCodec(&p, NV_ENC_TUNING_INFO_HIGH_QUALITY);
    ASSERT_EQ(Initialize(session, &p), NV_ENC_SUCCESS);
    constexpr int kCount = 10;
    Submitted submitted;
    ASSERT_NO_FATAL_FAILURE(SubmitHeld(session, 0, kCount, &submitted));
    EXPECT_TRUE(submitted.held);
    NV_ENC_LOCK_BITSTREAM lock = LockParams(submitted.outputs.back());
    lock.doNotWait = 1;
    EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_ERR_LOCK_BUSY);
    ASSERT_EQ(SendEos(session), NV_ENC_SUCCESS);
    std::vector<uint8_t> stream;
    std::vector<uint64_t> stamps;
    for (NV_ENC_OUTPUT_PTR out : submitted.outputs) {
        NV_ENC_LOCK_BITSTREAM seen;
        std::vector<uint8_t> unit = Collect(session, out, &seen, true);
        EXPECT_FALSE(unit.empty());
        stamps.push_back(seen.outputTimeStamp);
        Append(&stream, unit);
    }
    std::sort(stamps.begin(), stamps.end());
    for (int n = 0; n < kCount; ++n) {
        EXPECT_EQ(stamps[n], uint64_t(n));
    }
    ExpectPatternStream(stream, kCount, GetParam().name, GetParam().format);
}

// Every codec's presets carry the codec's own configuration; constant bit rate with a
// buffer works at low latency; the session says which library encodes.
TEST_P(SoftwareEncoderCodec, PresetsRateControlAndDescription) {
    InitParams p;
    void* session = OpenCodec(&p);
    const NV_ENC_CODEC_CONFIG& codec = p.config.encodeCodecConfig;
    const bool av1 = SameCodec(GetParam(), NV_ENC_CODEC_AV1_GUID);
    if (SameCodec(GetParam(), NV_ENC_CODEC_H264_GUID)) {
        EXPECT_EQ(codec.h264Config.chromaFormatIDC, 1u);
        EXPECT_EQ(codec.h264Config.idrPeriod, NVENC_INFINITE_GOPLENGTH);
    } else if (av1) {
        EXPECT_EQ(codec.av1Config.chromaFormatIDC, 1u);
        EXPECT_EQ(codec.av1Config.idrPeriod, NVENC_INFINITE_GOPLENGTH);
        EXPECT_EQ(codec.av1Config.inputBitDepth, NV_ENC_BIT_DEPTH_8);
        EXPECT_EQ(codec.av1Config.outputBitDepth, NV_ENC_BIT_DEPTH_8);
    }
    EXPECT_GT(p.config.rcParams.targetQuality, 0);

    p.config.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CBR;
    p.config.rcParams.averageBitRate = 4000000;
    p.config.rcParams.vbvBufferSize = 4000000;
    p.config.rcParams.vbvInitialDelay = 2000000;
    ASSERT_EQ(Initialize(session, &p), NV_ENC_SUCCESS);
    const std::string description = camfx::swenc::DescribeSession(session);
    const std::string library = camfx::swenc::EncoderName(GetParam().guid);
    EXPECT_FALSE(library.empty());
    EXPECT_EQ(description.rfind(library + " (preset ", 0), 0u) << description;
    EXPECT_NE(description.find("1280x720 at 30/1 fps"), std::string::npos) << description;
    std::vector<uint8_t> stream;
    ASSERT_NO_FATAL_FAILURE(EncodeEach(session, 0, 3, {0}, {}, &stream));
    ExpectPatternStream(stream, 3, GetParam().name, GetParam().format);

    camfx::swenc::SoftwareSettings settings;
    ASSERT_TRUE(camfx::swenc::SoftwareSettingsFor(GetParam().guid, 3,
                                                  NV_ENC_TUNING_INFO_LOW_LATENCY, &settings));
    EXPECT_EQ(settings.library, library);
    EXPECT_EQ(settings.quality, p.config.rcParams.targetQuality);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, SoftwareEncoderCodec,
    ::testing::Values(CodecCase{"h264", NV_ENC_CODEC_H264_GUID, {"h264", "h264"}},
                      CodecCase{"hevc", NV_ENC_CODEC_HEVC_GUID, kHevcStream},
                      CodecCase{"av1", NV_ENC_CODEC_AV1_GUID, {"obu", "av1"}}),
    [](const ::testing::TestParamInfo<CodecCase>& info) { return std::string(info.param.name); });

// What SVT-AV1 cannot do in low delay is refused with the reason, not approximated.
TEST_F(SoftwareEncoderApi, Av1RefusesAnAverageBitRateInLowDelay) {
    void* session = Open();
    InitParams p = Defaults(session, NV_ENC_TUNING_INFO_LOW_LATENCY, NV_ENC_CODEC_AV1_GUID);
    p.config.rcParams.averageBitRate = 2000000;
    EXPECT_EQ(Initialize(session, &p), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_STREQ(m_api.nvEncGetLastErrorString(session),
                 "SVT-AV1 refused the settings: SVT-AV1 has no average bit rate in low delay");
    EXPECT_EQ(camfx::swenc::DescribeSession(session), "");
    p.config.rcParams.averageBitRate = 0;
    p.config.encodeCodecConfig.av1Config.outputBitDepth = NV_ENC_BIT_DEPTH_10;
    EXPECT_EQ(Initialize(session, &p), NV_ENC_ERR_UNSUPPORTED_PARAM);
    p.config.encodeCodecConfig.av1Config.outputBitDepth = NV_ENC_BIT_DEPTH_8;
    EXPECT_EQ(Initialize(session, &p), NV_ENC_SUCCESS);
}

TEST_F(SoftwareEncoderApi, EncodeGuidsListEveryCodec) {
    void* session = Open();
    uint32_t count = 0;
    ASSERT_EQ(m_api.nvEncGetEncodeGUIDCount(session, &count), NV_ENC_SUCCESS);
    ASSERT_EQ(count, 3u);
    std::vector<GUID> guids(4);
    uint32_t filled = 0;
    ASSERT_EQ(m_api.nvEncGetEncodeGUIDs(session, guids.data(), 4, &filled), NV_ENC_SUCCESS);
    ASSERT_EQ(filled, 3u);
    for (const GUID& codec :
         {NV_ENC_CODEC_H264_GUID, NV_ENC_CODEC_HEVC_GUID, NV_ENC_CODEC_AV1_GUID}) {
        EXPECT_EQ(std::count_if(
                      guids.begin(), guids.begin() + filled,
                      [&](const GUID& g) { return std::memcmp(&g, &codec, sizeof(GUID)) == 0; }),
                  1);
    }
    EXPECT_EQ(m_api.nvEncGetEncodeGUIDs(session, guids.data(), 2, &filled),
              NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(m_api.nvEncGetEncodeGUIDs(session, nullptr, 4, &filled), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncGetEncodeGUIDs(session, guids.data(), 4, nullptr), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncGetEncodeGUIDCount(session, nullptr), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncGetEncodeGUIDCount(nullptr, &count), NV_ENC_ERR_INVALID_PTR);
    const GUID bogus = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(camfx::swenc::EncoderName(bogus), "");
}

}  // namespace
