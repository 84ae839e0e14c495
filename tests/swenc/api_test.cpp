// The software encoder through the NVENC function table itself: what each entry
// answers for good and bad calls, and the streams it produces.

#include <cuda.h>
#include <cuda_host.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "SoftwareEncoder.h"
#include "nvEncodeAPI.h"
#include "stream_check.h"

using namespace swenc_test;

namespace {

std::vector<std::string> g_infoLines;
void CaptureInfo(const char* line) {
    g_infoLines.emplace_back(line);
}

class SoftwareEncoderApi : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
        CUdevice device;
        ASSERT_EQ(cuDeviceGet(&device, 0), CUDA_SUCCESS);
        ASSERT_EQ(cuCtxCreate(&m_context, nullptr, 0, device), CUDA_SUCCESS);
        m_api.version = NV_ENCODE_API_FUNCTION_LIST_VER;
        ASSERT_EQ(NvEncodeAPICreateInstance(&m_api), NV_ENC_SUCCESS);
        g_infoLines.clear();
        camfxSetEncoderInfoSink(&CaptureInfo);
    }

    void TearDown() override {
        for (void* session : m_sessions) {
            m_api.nvEncDestroyEncoder(session);
        }
        for (CUdeviceptr buffer : m_buffers) {
            cuMemFree(buffer);
        }
        camfxSetEncoderInfoSink(nullptr);
        cudahost::clearDriverFailures();
        cuCtxDestroy(m_context);
    }

    void* Open() {
        NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params = {};
        params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
        params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
        params.device = m_context;
        params.apiVersion = NVENCAPI_VERSION;
        void* session = nullptr;
        EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(&params, &session), NV_ENC_SUCCESS);
        m_sessions.push_back(session);
        return session;
    }

    // Initialise parameters as the application asks for them: HEVC, P3, with the
    // preset's configuration for the tuning.
    void Defaults(void* session, NV_ENC_INITIALIZE_PARAMS* init, NV_ENC_CONFIG* config,
                  NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_LOW_LATENCY) {
        NV_ENC_PRESET_CONFIG preset = {};
        preset.version = NV_ENC_PRESET_CONFIG_VER;
        preset.presetCfg.version = NV_ENC_CONFIG_VER;
        ASSERT_EQ(m_api.nvEncGetEncodePresetConfigEx(session, NV_ENC_CODEC_HEVC_GUID,
                                                     NV_ENC_PRESET_P3_GUID, tuning, &preset),
                  NV_ENC_SUCCESS);
        *config = preset.presetCfg;
        *init = {};
        init->version = NV_ENC_INITIALIZE_PARAMS_VER;
        init->encodeGUID = NV_ENC_CODEC_HEVC_GUID;
        init->presetGUID = NV_ENC_PRESET_P3_GUID;
        init->encodeWidth = init->darWidth = init->maxEncodeWidth = kWidth;
        init->encodeHeight = init->darHeight = init->maxEncodeHeight = kHeight;
        init->frameRateNum = 30;
        init->frameRateDen = 1;
        init->enablePTD = 1;
        init->tuningInfo = tuning;
        init->encodeConfig = config;
    }

    void* OpenInitialized(NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_LOW_LATENCY) {
        void* session = Open();
        NV_ENC_INITIALIZE_PARAMS init;
        NV_ENC_CONFIG config;
        Defaults(session, &init, &config, tuning);
        EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &init), NV_ENC_SUCCESS);
        return session;
    }

    // A pitched NV12 device buffer as the wrapper allocates it.
    CUdeviceptr Allocate(size_t* pitch) {
        CUdeviceptr buffer = 0;
        EXPECT_EQ(cuMemAllocPitch(&buffer, pitch, kWidth, kHeight * 3 / 2, 16), CUDA_SUCCESS);
        m_buffers.push_back(buffer);
        return buffer;
    }

    void Upload(CUdeviceptr buffer, size_t pitch, const std::vector<uint8_t>& nv12) {
        CUDA_MEMCPY2D copy = {};
        copy.srcMemoryType = CU_MEMORYTYPE_HOST;
        copy.srcHost = nv12.data();
        copy.srcPitch = kWidth;
        copy.dstMemoryType = CU_MEMORYTYPE_DEVICE;
        copy.dstDevice = buffer;
        copy.dstPitch = pitch;
        copy.WidthInBytes = kWidth;
        copy.Height = kHeight * 3 / 2;
        ASSERT_EQ(cuMemcpy2D(&copy), CUDA_SUCCESS);
    }

    NV_ENC_REGISTER_RESOURCE RegisterParams(CUdeviceptr buffer, size_t pitch) {
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

    // One registered, mapped input holding test-pattern frame n.
    struct Input {
        CUdeviceptr buffer = 0;
        size_t pitch = 0;
        NV_ENC_REGISTERED_PTR registered = nullptr;
        NV_ENC_INPUT_PTR mapped = nullptr;
    };
    Input MakeInput(void* session, int n) {
        Input in;
        in.buffer = Allocate(&in.pitch);
        Upload(in.buffer, in.pitch, PatternNv12(n));
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

    NV_ENC_PIC_PARAMS Picture(NV_ENC_INPUT_PTR input, NV_ENC_OUTPUT_PTR output,
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

    NVENCSTATUS SendEos(void* session) {
        NV_ENC_PIC_PARAMS eos = {};
        eos.version = NV_ENC_PIC_PARAMS_VER;
        eos.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
        return m_api.nvEncEncodePicture(session, &eos);
    }

    // Locks, copies and unlocks one buffer.
    std::vector<uint8_t> Collect(void* session, NV_ENC_OUTPUT_PTR output,
                                 NV_ENC_LOCK_BITSTREAM* seen = nullptr) {
        NV_ENC_LOCK_BITSTREAM lock = {};
        lock.version = NV_ENC_LOCK_BITSTREAM_VER;
        lock.outputBitstream = output;
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

bool StartsWithVps(const std::vector<uint8_t>& packet) {
    // Annex B start code, then a NAL header of type 32 (VPS).
    return packet.size() > 5 && packet[0] == 0 && packet[1] == 0 && packet[2] == 0 &&
           packet[3] == 1 && (packet[4] >> 1) == 32;
}

// Decodes a stream and checks it holds `count` pictures matching the pattern frames
// `first`, `first` + 1, ... in that order.
void ExpectPatternStream(const std::vector<uint8_t>& stream, int count, int first = 0) {
    const std::string hevc = TempPath("api.hevc");
    const std::string raw = TempPath("api.nv12");
    WriteFile(hevc, stream);
    const std::string probe = Probe(hevc);
    EXPECT_NE(probe.find("codec_name=hevc"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=" + std::to_string(count) + "\n"), std::string::npos)
        << probe;
    const std::vector<uint8_t> decoded = DecodeNv12(hevc, raw);
    ASSERT_EQ(decoded.size(), kNv12Bytes * count);
    for (int k = 0; k < count; ++k) {
        const std::vector<uint8_t> source = PatternNv12(first + k);
        const uint8_t* frame = decoded.data() + kNv12Bytes * k;
        const double own = Psnr(frame, source.data(), kNv12Bytes);
        EXPECT_GE(own, 30.0) << "frame " << k;
        const std::vector<uint8_t> next = PatternNv12(first + k + 1);
        EXPECT_GT(own, Psnr(frame, next.data(), kNv12Bytes)) << "frame " << k << " out of order";
    }
    std::remove(hevc.c_str());
    std::remove(raw.c_str());
}

TEST_F(SoftwareEncoderApi, EntryPointsReportVersionAndFillTheList) {
    uint32_t version = 0;
    EXPECT_EQ(NvEncodeAPIGetMaxSupportedVersion(&version), NV_ENC_SUCCESS);
    EXPECT_EQ(version, 0xC2u);
    EXPECT_EQ(NvEncodeAPIGetMaxSupportedVersion(nullptr), NV_ENC_ERR_INVALID_PTR);

    EXPECT_EQ(NvEncodeAPICreateInstance(nullptr), NV_ENC_ERR_INVALID_PTR);
    NV_ENCODE_API_FUNCTION_LIST old = {};
    old.version = NVENCAPI_STRUCT_VERSION(1);
    EXPECT_EQ(NvEncodeAPICreateInstance(&old), NV_ENC_ERR_INVALID_VERSION);
    EXPECT_EQ(old.nvEncOpenEncodeSessionEx, nullptr);

    // Every entry is filled, so no call through the list lands on a null pointer.
    void* const* entries = reinterpret_cast<void* const*>(&m_api.nvEncOpenEncodeSession);
    const size_t count =
        (sizeof(m_api) - offsetof(NV_ENCODE_API_FUNCTION_LIST, nvEncOpenEncodeSession)) /
        sizeof(void*);
    for (size_t i = 0; i < count; ++i) {
        EXPECT_NE(entries[i], nullptr) << "entry " << i;
    }
    EXPECT_EQ(m_api.version, NV_ENCODE_API_FUNCTION_LIST_VER);
}

TEST_F(SoftwareEncoderApi, SessionsOpenOnCudaContextsOnly) {
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params = {};
    params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    params.device = m_context;
    params.apiVersion = NVENCAPI_VERSION;
    void* session = nullptr;
    EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(nullptr, &session), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(&params, nullptr), NV_ENC_ERR_INVALID_PTR);

    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS bad = params;
    bad.version = NVENCAPI_STRUCT_VERSION(2);
    EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(&bad, &session), NV_ENC_ERR_INVALID_VERSION);
    bad = params;
    bad.apiVersion = NVENCAPI_MAJOR_VERSION | (3 << 24);  // 12.3: newer than we are
    EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(&bad, &session), NV_ENC_ERR_INVALID_VERSION);
    bad = params;
    bad.deviceType = NV_ENC_DEVICE_TYPE_OPENGL;
    EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(&bad, &session), NV_ENC_ERR_UNSUPPORTED_DEVICE);
    bad = params;
    bad.device = nullptr;
    EXPECT_EQ(m_api.nvEncOpenEncodeSessionEx(&bad, &session), NV_ENC_ERR_INVALID_DEVICE);
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
    EXPECT_EQ(m_api.nvEncGetEncodeCaps(session, NV_ENC_CODEC_H264_GUID, &caps, &value),
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
    for (int p = 0; p < 7; ++p) {
        for (int t = NV_ENC_TUNING_INFO_UNDEFINED; t <= NV_ENC_TUNING_INFO_ULTRA_HIGH_QUALITY;
             ++t) {
            const auto tuning = static_cast<NV_ENC_TUNING_INFO>(t);
            SCOPED_TRACE("P" + std::to_string(p + 1) + " tuning " + std::to_string(t));
            NV_ENC_PRESET_CONFIG preset = {};
            preset.version = NV_ENC_PRESET_CONFIG_VER;
            preset.presetCfg.version = NV_ENC_CONFIG_VER;
            ASSERT_EQ(m_api.nvEncGetEncodePresetConfigEx(session, NV_ENC_CODEC_HEVC_GUID,
                                                         presets[p], tuning, &preset),
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

    NV_ENC_PRESET_CONFIG preset = {};
    preset.version = NV_ENC_PRESET_CONFIG_VER;
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    const GUID bogus = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(
        m_api.nvEncGetEncodePresetConfigEx(session, NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_P3_GUID,
                                           NV_ENC_TUNING_INFO_LOW_LATENCY, &preset),
        NV_ENC_ERR_UNSUPPORTED_PARAM);
    EXPECT_EQ(m_api.nvEncGetEncodePresetConfigEx(session, NV_ENC_CODEC_HEVC_GUID, bogus,
                                                 NV_ENC_TUNING_INFO_LOW_LATENCY, &preset),
              NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(
        m_api.nvEncGetEncodePresetConfigEx(session, NV_ENC_CODEC_HEVC_GUID, NV_ENC_PRESET_P3_GUID,
                                           static_cast<NV_ENC_TUNING_INFO>(9), &preset),
        NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(
        m_api.nvEncGetEncodePresetConfigEx(session, NV_ENC_CODEC_HEVC_GUID, NV_ENC_PRESET_P3_GUID,
                                           NV_ENC_TUNING_INFO_LOW_LATENCY, nullptr),
        NV_ENC_ERR_INVALID_PTR);
    preset.presetCfg.version = NV_ENC_CONFIG_VER - 1;
    EXPECT_EQ(
        m_api.nvEncGetEncodePresetConfigEx(session, NV_ENC_CODEC_HEVC_GUID, NV_ENC_PRESET_P3_GUID,
                                           NV_ENC_TUNING_INFO_LOW_LATENCY, &preset),
        NV_ENC_ERR_INVALID_VERSION);
}

TEST_F(SoftwareEncoderApi, InitializeRefusesWhatHevcMainCannotCarry) {
    void* session = Open();
    NV_ENC_INITIALIZE_PARAMS init;
    NV_ENC_CONFIG config;
    Defaults(session, &init, &config);

    NV_ENC_INITIALIZE_PARAMS bad = init;
    bad.encodeGUID = NV_ENC_CODEC_H264_GUID;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_UNSUPPORTED_PARAM);
    bad.encodeGUID = NV_ENC_CODEC_AV1_GUID;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_UNSUPPORTED_PARAM);
    bad = init;
    bad.version = NV_ENC_INITIALIZE_PARAMS_VER & ~(1u << 31);
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_INVALID_VERSION);
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, nullptr), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncInitializeEncoder(nullptr, &init), NV_ENC_ERR_INVALID_PTR);
    bad = init;
    bad.encodeWidth = 1279;  // 4:2:0 needs even sizes
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_INVALID_PARAM);
    bad = init;
    bad.encodeHeight = 0;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_INVALID_PARAM);
    bad = init;
    bad.frameRateDen = 0;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_INVALID_PARAM);
    bad = init;
    bad.enableEncodeAsync = 1;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_UNSUPPORTED_PARAM);
    bad = init;
    bad.enableMEOnlyMode = 1;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_UNSUPPORTED_PARAM);

    NV_ENC_CONFIG tenBit = config;
    tenBit.encodeCodecConfig.hevcConfig.inputBitDepth = NV_ENC_BIT_DEPTH_10;
    tenBit.encodeCodecConfig.hevcConfig.outputBitDepth = NV_ENC_BIT_DEPTH_10;
    bad = init;
    bad.encodeConfig = &tenBit;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_UNSUPPORTED_PARAM);
    NV_ENC_CONFIG yuv444 = config;
    yuv444.encodeCodecConfig.hevcConfig.chromaFormatIDC = 3;
    bad.encodeConfig = &yuv444;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_UNSUPPORTED_PARAM);
    NV_ENC_CONFIG wrongVersion = config;
    wrongVersion.version = NV_ENC_CONFIG_VER + 1;
    bad.encodeConfig = &wrongVersion;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_INVALID_VERSION);
    NV_ENC_CONFIG noBitrate = config;
    noBitrate.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CBR;
    bad.encodeConfig = &noBitrate;
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &bad), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_TRUE(g_infoLines.empty());

    // None of the refusals used the session up.
    ASSERT_EQ(m_api.nvEncInitializeEncoder(session, &init), NV_ENC_SUCCESS);
    EXPECT_EQ(m_api.nvEncInitializeEncoder(session, &init), NV_ENC_ERR_INVALID_CALL);

    // One line tells the user which encoder records.
    ASSERT_EQ(g_infoLines.size(), 1u);
    EXPECT_NE(g_infoLines[0].find("software HEVC encoder libx265"), std::string::npos)
        << g_infoLines[0];
    EXPECT_NE(g_infoLines[0].find("1280x720"), std::string::npos) << g_infoLines[0];
}

TEST_F(SoftwareEncoderApi, InitializeWithoutConfigUsesThePreset) {
    void* session = Open();
    NV_ENC_INITIALIZE_PARAMS init;
    NV_ENC_CONFIG config;
    Defaults(session, &init, &config);
    init.encodeConfig = nullptr;
    ASSERT_EQ(m_api.nvEncInitializeEncoder(session, &init), NV_ENC_SUCCESS);
    Input in = MakeInput(session, 0);
    NV_ENC_OUTPUT_PTR out = MakeBitstream(session);
    NV_ENC_PIC_PARAMS pic = Picture(in.mapped, out);
    // Low latency: the picture's access unit is ready when the call returns.
    ASSERT_EQ(m_api.nvEncEncodePicture(session, &pic), NV_ENC_SUCCESS);
    EXPECT_TRUE(StartsWithVps(Collect(session, out)));
}

TEST_F(SoftwareEncoderApi, BadCallsGetTheirStatusAndLeaveTheSessionUsable) {
    void* session = Open();
    Input in = MakeInput(session, 0);
    NV_ENC_OUTPUT_PTR out = MakeBitstream(session);
    NV_ENC_PIC_PARAMS pic = Picture(in.mapped, out, 1000);
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &pic), NV_ENC_ERR_ENCODER_NOT_INITIALIZED);

    NV_ENC_INITIALIZE_PARAMS init;
    NV_ENC_CONFIG config;
    Defaults(session, &init, &config);
    ASSERT_EQ(m_api.nvEncInitializeEncoder(session, &init), NV_ENC_SUCCESS);

    // Pictures.
    NV_ENC_PIC_PARAMS bad = pic;
    bad.version = NV_ENC_PIC_PARAMS_VER - 1;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &bad), NV_ENC_ERR_INVALID_VERSION);
    EXPECT_EQ(m_api.nvEncEncodePicture(session, nullptr), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncEncodePicture(nullptr, &pic), NV_ENC_ERR_INVALID_PTR);
    bad = pic;
    bad.inputBuffer = nullptr;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &bad), NV_ENC_ERR_INVALID_PTR);
    bad = pic;
    bad.outputBitstream = nullptr;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &bad), NV_ENC_ERR_INVALID_PTR);
    int stranger = 0;
    bad = pic;
    bad.inputBuffer = &stranger;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &bad), NV_ENC_ERR_INVALID_PARAM);
    bad = pic;
    bad.outputBitstream = &stranger;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &bad), NV_ENC_ERR_INVALID_PARAM);
    bad = pic;
    bad.inputWidth = 640;
    bad.inputHeight = 360;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &bad), NV_ENC_ERR_INVALID_PARAM);
    bad = pic;
    bad.bufferFmt = NV_ENC_BUFFER_FORMAT_YUV444;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &bad), NV_ENC_ERR_INVALID_PARAM);
    bad = pic;
    bad.pictureStruct = NV_ENC_PIC_STRUCT_FIELD_TOP_BOTTOM;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &bad), NV_ENC_ERR_UNSUPPORTED_PARAM);

    // Buffers and resources.
    NV_ENC_LOCK_BITSTREAM lock = {};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = out;
    EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_ERR_INVALID_CALL);  // empty
    EXPECT_EQ(m_api.nvEncUnlockBitstream(session, out), NV_ENC_ERR_INVALID_CALL);
    lock.outputBitstream = &stranger;
    EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_ERR_INVALID_PARAM);
    lock.outputBitstream = out;
    lock.version = 0;
    EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_ERR_INVALID_VERSION);
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
    CUdeviceptr other = Allocate(&pitch);
    NV_ENC_REGISTER_RESOURCE reg = RegisterParams(other, pitch);
    reg.bufferFormat = NV_ENC_BUFFER_FORMAT_YUV444;
    EXPECT_EQ(m_api.nvEncRegisterResource(session, &reg), NV_ENC_ERR_UNSUPPORTED_PARAM);
    reg = RegisterParams(other, pitch);
    reg.resourceToRegister = nullptr;
    EXPECT_EQ(m_api.nvEncRegisterResource(session, &reg), NV_ENC_ERR_INVALID_PTR);
    reg = RegisterParams(other, pitch);
    reg.pitch = kWidth - 2;
    EXPECT_EQ(m_api.nvEncRegisterResource(session, &reg), NV_ENC_ERR_INVALID_PARAM);
    reg = RegisterParams(other, pitch);
    reg.version = NV_ENC_REGISTER_RESOURCE_VER + 1;
    EXPECT_EQ(m_api.nvEncRegisterResource(session, &reg), NV_ENC_ERR_INVALID_VERSION);

    NV_ENC_CREATE_BITSTREAM_BUFFER create = {};
    create.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER + 1;
    EXPECT_EQ(m_api.nvEncCreateBitstreamBuffer(session, &create), NV_ENC_ERR_INVALID_VERSION);
    NV_ENC_CREATE_MV_BUFFER mv = {};
    mv.version = NV_ENC_CREATE_MV_BUFFER_VER;
    EXPECT_EQ(m_api.nvEncCreateMVBuffer(session, &mv), NV_ENC_ERR_UNSUPPORTED_PARAM);
    NV_ENC_EVENT_PARAMS event = {};
    event.version = NV_ENC_EVENT_PARAMS_VER;
    EXPECT_EQ(m_api.nvEncRegisterAsyncEvent(session, &event), NV_ENC_ERR_INVALID_EVENT);
    event.completionEvent = &stranger;
    EXPECT_EQ(m_api.nvEncUnregisterAsyncEvent(session, &event), NV_ENC_ERR_EVENT_NOT_REGISTERD);
    EXPECT_EQ(m_api.nvEncRegisterAsyncEvent(session, &event), NV_ENC_SUCCESS);
    EXPECT_EQ(m_api.nvEncUnregisterAsyncEvent(session, &event), NV_ENC_SUCCESS);

    // After all that the session still encodes: the first picture is an IDR with the
    // parameter sets, the second a P picture, each with its own time stamp.
    ASSERT_EQ(m_api.nvEncEncodePicture(session, &pic), NV_ENC_SUCCESS);
    NV_ENC_PIC_PARAMS busy = pic;
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &busy), NV_ENC_SUCCESS)
        << "a ready buffer that was never locked is reused";
    NV_ENC_LOCK_BITSTREAM seen;
    std::vector<uint8_t> first = Collect(session, out, &seen);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(seen.pictureType, NV_ENC_PIC_TYPE_P);

    NV_ENC_OUTPUT_PTR second = MakeBitstream(session);
    NV_ENC_PIC_PARAMS next = Picture(in.mapped, second, 2000);
    next.frameIdx = 7;
    ASSERT_EQ(m_api.nvEncEncodePicture(session, &next), NV_ENC_SUCCESS);
    lock = {};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = second;
    ASSERT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_SUCCESS);
    EXPECT_EQ(lock.outputTimeStamp, 2000u);
    EXPECT_EQ(lock.frameIdx, 7u);
    EXPECT_EQ(lock.pictureType, NV_ENC_PIC_TYPE_P);
    EXPECT_GT(lock.bitstreamSizeInBytes, 0u);
    // A locked buffer cannot be locked again or take a new picture until unlocked.
    EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_ERR_INVALID_CALL);
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &next), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(m_api.nvEncUnlockBitstream(session, second), NV_ENC_SUCCESS);

    EXPECT_EQ(m_api.nvEncUnmapInputResource(session, in.mapped), NV_ENC_SUCCESS);
    EXPECT_EQ(m_api.nvEncUnmapInputResource(session, in.mapped), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &next), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(m_api.nvEncUnregisterResource(session, in.registered), NV_ENC_SUCCESS);
    EXPECT_EQ(m_api.nvEncDestroyBitstreamBuffer(session, out), NV_ENC_SUCCESS);
    EXPECT_EQ(m_api.nvEncDestroyBitstreamBuffer(session, out), NV_ENC_ERR_INVALID_PARAM);
}

TEST_F(SoftwareEncoderApi, FailedCopyFromTheDeviceLosesOnlyThatPicture) {
    void* session = OpenInitialized();
    Input in = MakeInput(session, 0);
    NV_ENC_OUTPUT_PTR out = MakeBitstream(session);
    NV_ENC_PIC_PARAMS pic = Picture(in.mapped, out);
    cudahost::failDriverCall("cuMemcpy2D", CUDA_ERROR_ILLEGAL_ADDRESS);
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &pic), NV_ENC_ERR_GENERIC);
    cudahost::failDriverCall("cuCtxPushCurrent", CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &pic), NV_ENC_ERR_GENERIC);
    ASSERT_EQ(m_api.nvEncEncodePicture(session, &pic), NV_ENC_SUCCESS);
    EXPECT_TRUE(StartsWithVps(Collect(session, out)));
    // The context stack is balanced again: the test's own context is current.
    CUcontext current = nullptr;
    EXPECT_EQ(cuCtxGetCurrent(&current), CUDA_SUCCESS);
    EXPECT_EQ(current, m_context);
}

TEST_F(SoftwareEncoderApi, EndOfStreamOnAnEmptySessionGivesNothing) {
    void* session = OpenInitialized();
    EXPECT_EQ(SendEos(session), NV_ENC_SUCCESS);
    EXPECT_EQ(SendEos(session), NV_ENC_SUCCESS);
    NV_ENC_OUTPUT_PTR out = MakeBitstream(session);
    NV_ENC_LOCK_BITSTREAM lock = {};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = out;
    EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_ERR_INVALID_CALL);
}

// Low latency: each picture's access unit is ready when its submission returns, so
// buffers can be collected at once; the stream is one IDR then P pictures.
TEST_F(SoftwareEncoderApi, LowLatencyStreamDecodesFrameForFrame) {
    void* session = OpenInitialized();
    constexpr int kCount = 20;
    Input in = MakeInput(session, 0);
    NV_ENC_OUTPUT_PTR out = MakeBitstream(session);
    std::vector<uint8_t> stream;
    for (int n = 0; n < kCount; ++n) {
        Upload(in.buffer, in.pitch, PatternNv12(n));
        NV_ENC_PIC_PARAMS pic = Picture(in.mapped, out, 100 * n);
        ASSERT_EQ(m_api.nvEncEncodePicture(session, &pic), NV_ENC_SUCCESS) << n;
        NV_ENC_LOCK_BITSTREAM seen;
        std::vector<uint8_t> packet = Collect(session, out, &seen);
        EXPECT_EQ(seen.outputTimeStamp, uint64_t(100 * n));
        EXPECT_EQ(seen.pictureType, n == 0 ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P) << n;
        EXPECT_EQ(StartsWithVps(packet), n == 0) << n;
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    EXPECT_EQ(SendEos(session), NV_ENC_SUCCESS);
    ExpectPatternStream(stream, kCount);
}

// With B pictures x265 holds pictures back: submissions answer "need more input", the
// end of stream releases the rest, and the buffers, read in submission order, carry
// the stream in decode order.
TEST_F(SoftwareEncoderApi, HeldPicturesComeOutInOrderAtEndOfStream) {
    void* session = OpenInitialized(NV_ENC_TUNING_INFO_HIGH_QUALITY);
    constexpr int kCount = 10;
    std::vector<Input> inputs;
    std::vector<NV_ENC_OUTPUT_PTR> outputs;
    bool held = false;
    for (int n = 0; n < kCount; ++n) {
        inputs.push_back(MakeInput(session, n));
        outputs.push_back(MakeBitstream(session));
        NV_ENC_PIC_PARAMS pic = Picture(inputs[n].mapped, outputs[n], n);
        NVENCSTATUS status = m_api.nvEncEncodePicture(session, &pic);
        ASSERT_TRUE(status == NV_ENC_SUCCESS || status == NV_ENC_ERR_NEED_MORE_INPUT) << status;
        held = held || status == NV_ENC_ERR_NEED_MORE_INPUT;
    }
    EXPECT_TRUE(held);
    NV_ENC_LOCK_BITSTREAM lock = {};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = outputs.back();
    lock.doNotWait = 1;
    EXPECT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_ERR_LOCK_BUSY);

    ASSERT_EQ(SendEos(session), NV_ENC_SUCCESS);
    std::vector<uint8_t> stream;
    std::vector<uint64_t> stamps;
    for (NV_ENC_OUTPUT_PTR out : outputs) {
        NV_ENC_LOCK_BITSTREAM seen;
        std::vector<uint8_t> packet = Collect(session, out, &seen);
        EXPECT_FALSE(packet.empty());
        stamps.push_back(seen.outputTimeStamp);
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    // Decode order: the time stamps are a permutation, not the submission order.
    std::vector<uint64_t> sorted = stamps;
    std::sort(sorted.begin(), sorted.end());
    for (int n = 0; n < kCount; ++n) {
        EXPECT_EQ(sorted[n], uint64_t(n));
    }
    EXPECT_NE(stamps, sorted);
    ExpectPatternStream(stream, kCount);
}

// Locking a buffer whose picture x265 still holds cannot wait for more input: the
// encoder drains and starts a new stream, which still decodes as one.
TEST_F(SoftwareEncoderApi, EarlyLockDrainsAndTheStreamGoesOn) {
    void* session = OpenInitialized(NV_ENC_TUNING_INFO_HIGH_QUALITY);
    constexpr int kCount = 8;
    std::vector<Input> inputs;
    std::vector<NV_ENC_OUTPUT_PTR> outputs;
    std::vector<uint8_t> stream;
    for (int n = 0; n < kCount; ++n) {
        inputs.push_back(MakeInput(session, n));
        outputs.push_back(MakeBitstream(session));
        NV_ENC_PIC_PARAMS pic = Picture(inputs[n].mapped, outputs[n], n);
        NVENCSTATUS status = m_api.nvEncEncodePicture(session, &pic);
        ASSERT_TRUE(status == NV_ENC_SUCCESS || status == NV_ENC_ERR_NEED_MORE_INPUT) << status;
        if (n == 2) {
            // Collect the first three at once, as a client with a short lag would.
            for (int k = 0; k <= 2; ++k) {
                std::vector<uint8_t> packet = Collect(session, outputs[k]);
                EXPECT_FALSE(packet.empty()) << k;
                stream.insert(stream.end(), packet.begin(), packet.end());
            }
        }
    }
    ASSERT_EQ(SendEos(session), NV_ENC_SUCCESS);
    for (int k = 3; k < kCount; ++k) {
        NV_ENC_LOCK_BITSTREAM seen;
        std::vector<uint8_t> packet = Collect(session, outputs[k], &seen);
        if (k == 3) {
            EXPECT_EQ(seen.pictureType, NV_ENC_PIC_TYPE_IDR);
            EXPECT_TRUE(StartsWithVps(packet));
        }
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    ExpectPatternStream(stream, kCount);
}

TEST_F(SoftwareEncoderApi, DestroyReleasesEverythingStillLive) {
    void* session = OpenInitialized(NV_ENC_TUNING_INFO_HIGH_QUALITY);
    Input in = MakeInput(session, 0);
    NV_ENC_OUTPUT_PTR held = MakeBitstream(session);
    NV_ENC_OUTPUT_PTR locked = MakeBitstream(session);
    NV_ENC_PIC_PARAMS pic = Picture(in.mapped, held);
    m_api.nvEncEncodePicture(session, &pic);
    pic.outputBitstream = locked;
    m_api.nvEncEncodePicture(session, &pic);
    NV_ENC_LOCK_BITSTREAM lock = {};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = locked;
    ASSERT_EQ(m_api.nvEncLockBitstream(session, &lock), NV_ENC_SUCCESS);

    EXPECT_EQ(m_api.nvEncDestroyEncoder(session), NV_ENC_SUCCESS);
    m_sessions.clear();
    // Its handles are gone with it.
    EXPECT_EQ(m_api.nvEncUnlockBitstream(session, locked), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncEncodePicture(session, &pic), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(m_api.nvEncUnregisterResource(session, in.registered), NV_ENC_ERR_INVALID_PTR);
}

TEST_F(SoftwareEncoderApi, InfoSinkDefaultsToStandardOutput) {
    camfxSetEncoderInfoSink(nullptr);
    ::testing::internal::CaptureStdout();
    OpenInitialized();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("libx265"), std::string::npos) << out;
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_TRUE(g_infoLines.empty());
}

}  // namespace
