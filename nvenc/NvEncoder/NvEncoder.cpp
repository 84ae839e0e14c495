#include "NvEncoder.h"

#include <climits>
#include <cstring>

#include "NvEncGuid.h"
#include "windows_shim.h"

namespace {

bool IsCodecGuid(const GUID& guid) {
    return SameGuid(guid, NV_ENC_CODEC_H264_GUID) || SameGuid(guid, NV_ENC_CODEC_HEVC_GUID) ||
           SameGuid(guid, NV_ENC_CODEC_AV1_GUID);
}

bool Is10Bit(NV_ENC_BUFFER_FORMAT format) {
    return format == NV_ENC_BUFFER_FORMAT_YUV420_10BIT ||
           format == NV_ENC_BUFFER_FORMAT_YUV444_10BIT;
}

bool Is444(NV_ENC_BUFFER_FORMAT format) {
    return format == NV_ENC_BUFFER_FORMAT_YUV444 || format == NV_ENC_BUFFER_FORMAT_YUV444_10BIT;
}

uint32_t Half(uint32_t x) {
    return (x + 1) >> 1;
}

// The accepted input formats, one row each; the geometry functions read nothing else.
// Halved dimensions round up.
enum class Sampling { Packed, Yuv420, Yuv444 };
struct FormatRow {
    NV_ENC_BUFFER_FORMAT format;
    uint32_t bytesPerSample;  // of a luma sample, or of a whole packed pixel
    Sampling sampling;
    uint32_t chromaPlanes;
    bool halfChromaPitch;  // planar 4:2:0: chroma planes of half the luma pitch and width
};
constexpr FormatRow kFormats[] = {
    {NV_ENC_BUFFER_FORMAT_NV12, 1, Sampling::Yuv420, 1, false},
    {NV_ENC_BUFFER_FORMAT_YV12, 1, Sampling::Yuv420, 2, true},
    {NV_ENC_BUFFER_FORMAT_IYUV, 1, Sampling::Yuv420, 2, true},
    {NV_ENC_BUFFER_FORMAT_YUV444, 1, Sampling::Yuv444, 2, false},
    {NV_ENC_BUFFER_FORMAT_YUV420_10BIT, 2, Sampling::Yuv420, 1, false},
    {NV_ENC_BUFFER_FORMAT_YUV444_10BIT, 2, Sampling::Yuv444, 2, false},
    {NV_ENC_BUFFER_FORMAT_ARGB, 4, Sampling::Packed, 0, false},
    {NV_ENC_BUFFER_FORMAT_ARGB10, 4, Sampling::Packed, 0, false},
    {NV_ENC_BUFFER_FORMAT_AYUV, 4, Sampling::Packed, 0, false},
    {NV_ENC_BUFFER_FORMAT_ABGR, 4, Sampling::Packed, 0, false},
    {NV_ENC_BUFFER_FORMAT_ABGR10, 4, Sampling::Packed, 0, false},
};

const FormatRow* FindFormat(NV_ENC_BUFFER_FORMAT format) {
    for (const FormatRow& row : kFormats) {
        if (row.format == format)
            return &row;
    }
    return nullptr;
}

// The format's row; a format without one raises from the calling function and its line.
// The caller's signature is only parsed then.
const FormatRow& RowOrRaise(NV_ENC_BUFFER_FORMAT format, const char* caller, int line) {
    if (const FormatRow* row = FindFormat(format))
        return *row;
    throw NVENCException::Build("Invalid Buffer format", NV_ENC_ERR_INVALID_PARAM,
                                nvenc_detail::QualifiedName(caller), __FILE__, line);
}
#define CAMFX_FORMAT_ROW(format) RowOrRaise((format), NVENC_FUNCTION_SIGNATURE, __LINE__)

// Hands every handle that is set to `release`, then forgets them all.
template <typename Handle, typename Release>
void ReleaseAll(std::vector<Handle>& handles, Release release) {
    for (Handle handle : handles) {
        if (handle)
            release(handle);
    }
    handles.clear();
}

void AppendLittleEndian(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The driver signals an event when a picture is done; give up waiting after this long and
// let the blocking lock do the rest.
constexpr DWORD kCompletionWaitMs = 20000;

// The lowest API version accepted, as major << 4 | minor.
constexpr uint32_t kRequiredApiVersion = (NVENCAPI_MAJOR_VERSION << 4) | NVENCAPI_MINOR_VERSION;

}  // namespace

NvEncoder::NvEncoder(void* device, uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format,
                     uint32_t extraOutputDelay, bool motionEstimationOnly, bool outputInVideoMemory,
                     bool ivfContainer)
    : m_bMEOnlyMode(motionEstimationOnly),
      m_bOutputToVidmem(outputInVideoMemory),
      m_bIvfContainer(ivfContainer),
      m_nFrameWidth(width),
      m_nFrameHeight(height),
      m_eInputFormat(format),
      m_pDeviceHandle(device),
      m_nExtraDelay(extraOutputDelay),
      m_nMaxWidth(width),
      m_nMaxHeight(height) {
    std::memset(&m_nvenc, 0, sizeof(m_nvenc));
    std::memset(&m_initializeParams, 0, sizeof(m_initializeParams));
    std::memset(&m_activeConfig, 0, sizeof(m_activeConfig));

    LoadNvEncApi();

    // The list is only usable with the opener that is called below, too.
    if (!m_nvenc.nvEncOpenEncodeSession || !m_nvenc.nvEncOpenEncodeSessionEx) {
        m_nEncoderBuffer = 0;
        NVENC_RAISE("EncodeAPI not found", NV_ENC_ERR_NO_ENCODE_DEVICE);
    }

    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS encodeSessionExParams;
    std::memset(&encodeSessionExParams, 0, sizeof(encodeSessionExParams));
    encodeSessionExParams.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    encodeSessionExParams.device = m_pDeviceHandle;
    encodeSessionExParams.deviceType = m_eDeviceKind;
    encodeSessionExParams.apiVersion = NVENCAPI_VERSION;
    void* hEncoder = nullptr;
    NVENC_CHECK_CALL(m_nvenc.nvEncOpenEncodeSessionEx(&encodeSessionExParams, &hEncoder));
    m_hEncoder = hEncoder;
}

void NvEncoder::LoadNvEncApi() {
    uint32_t version = 0;
    NVENC_CHECK_CALL(NvEncodeAPIGetMaxSupportedVersion(&version));
    if (version < kRequiredApiVersion) {
        NVENC_RAISE(
            "Current Driver Version does not support this NvEncodeAPI version, please upgrade "
            "driver",
            NV_ENC_ERR_INVALID_VERSION);
    }
    std::memset(&m_nvenc, 0, sizeof(m_nvenc));
    m_nvenc.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    NVENC_CHECK_CALL(NvEncodeAPICreateInstance(&m_nvenc));
}

NvEncoder::~NvEncoder() {
    ReleaseEncoderResources();
}

int NvEncoder::QueryCapability(GUID codecGuid, NV_ENC_CAPS capability) {
    if (!m_hEncoder)
        return 0;
    NV_ENC_CAPS_PARAM capsParam;
    std::memset(&capsParam, 0, sizeof(capsParam));
    capsParam.version = NV_ENC_CAPS_PARAM_VER;
    capsParam.capsToQuery = capability;
    int value = 0;
    m_nvenc.nvEncGetEncodeCaps(m_hEncoder, codecGuid, &capsParam, &value);
    return value;
}

void NvEncoder::CreateDefaultEncoderParams(NV_ENC_INITIALIZE_PARAMS* pInitializeParams,
                                           GUID codecGuid, GUID presetGuid,
                                           NV_ENC_TUNING_INFO tuningInfo) {
    if (!m_hEncoder)
        NVENC_RAISE("Encoder Initialization failed", NV_ENC_ERR_NO_ENCODE_DEVICE);
    if (pInitializeParams == nullptr || pInitializeParams->encodeConfig == nullptr) {
        NVENC_RAISE("pInitializeParams and pInitializeParams->encodeConfig can't be NULL",
                    NV_ENC_ERR_INVALID_PTR);
    }

    NV_ENC_CONFIG* config = pInitializeParams->encodeConfig;
    std::memset(config, 0, sizeof(*config));
    std::memset(pInitializeParams, 0, sizeof(*pInitializeParams));
    pInitializeParams->encodeConfig = config;
    config->version = NV_ENC_CONFIG_VER;
    pInitializeParams->version = NV_ENC_INITIALIZE_PARAMS_VER;

    pInitializeParams->encodeGUID = codecGuid;
    pInitializeParams->presetGUID = presetGuid;
    pInitializeParams->encodeWidth = m_nFrameWidth;
    pInitializeParams->encodeHeight = m_nFrameHeight;
    pInitializeParams->darWidth = m_nFrameWidth;
    pInitializeParams->darHeight = m_nFrameHeight;
    pInitializeParams->frameRateNum = 30;
    pInitializeParams->frameRateDen = 1;
    pInitializeParams->enablePTD = 1;
    pInitializeParams->reportSliceOffsets = 0;
    pInitializeParams->enableSubFrameWrite = 0;
    pInitializeParams->maxEncodeWidth = m_nFrameWidth;
    pInitializeParams->maxEncodeHeight = m_nFrameHeight;
    pInitializeParams->enableMEOnlyMode = m_bMEOnlyMode;
    pInitializeParams->enableOutputInVidmem = m_bOutputToVidmem;
    if (!m_bOutputToVidmem) {
        const int asyncSupported = QueryCapability(codecGuid, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT);
        // Asynchronous mode needs event objects that the driver signals.
        pInitializeParams->enableEncodeAsync = m_bPlatformSignalsEvents ? asyncSupported : 0;
    }
    pInitializeParams->tuningInfo = tuningInfo;

    NV_ENC_PRESET_CONFIG presetConfig;
    std::memset(&presetConfig, 0, sizeof(presetConfig));
    presetConfig.version = NV_ENC_PRESET_CONFIG_VER;
    presetConfig.presetCfg.version = NV_ENC_CONFIG_VER;
    m_nvenc.nvEncGetEncodePresetConfigEx(m_hEncoder, codecGuid, presetGuid, tuningInfo,
                                         &presetConfig);
    std::memcpy(config, &presetConfig.presetCfg, sizeof(NV_ENC_CONFIG));

    if (m_bMEOnlyMode) {
        m_activeConfig.version = NV_ENC_CONFIG_VER;
        m_activeConfig.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
        m_activeConfig.rcParams.constQP = {28, 31, 25};
    }

    if (SameGuid(codecGuid, NV_ENC_CODEC_H264_GUID)) {
        if (Is444(m_eInputFormat))
            config->encodeCodecConfig.h264Config.chromaFormatIDC = 3;
        config->encodeCodecConfig.h264Config.idrPeriod = config->gopLength;
    } else if (SameGuid(codecGuid, NV_ENC_CODEC_HEVC_GUID)) {
        const NV_ENC_BIT_DEPTH depth =
            Is10Bit(m_eInputFormat) ? NV_ENC_BIT_DEPTH_10 : NV_ENC_BIT_DEPTH_8;
        config->encodeCodecConfig.hevcConfig.inputBitDepth = depth;
        config->encodeCodecConfig.hevcConfig.outputBitDepth = depth;
        if (Is444(m_eInputFormat))
            config->encodeCodecConfig.hevcConfig.chromaFormatIDC = 3;
        config->encodeCodecConfig.hevcConfig.idrPeriod = config->gopLength;
    } else if (SameGuid(codecGuid, NV_ENC_CODEC_AV1_GUID)) {
        config->encodeCodecConfig.av1Config.inputBitDepth =
            m_eInputFormat == NV_ENC_BUFFER_FORMAT_YUV420_10BIT ? NV_ENC_BIT_DEPTH_10
                                                                : NV_ENC_BIT_DEPTH_8;
        config->encodeCodecConfig.av1Config.chromaFormatIDC = 1;
        config->encodeCodecConfig.av1Config.idrPeriod = config->gopLength;
        if (m_bOutputToVidmem)
            config->frameIntervalP = 1;
    }
}

void NvEncoder::CreateEncoder(const NV_ENC_INITIALIZE_PARAMS* pEncoderParams) {
    if (!m_hEncoder)
        NVENC_RAISE("Encoder Initialization failed", NV_ENC_ERR_NO_ENCODE_DEVICE);
    if (pEncoderParams == nullptr) {
        NVENC_RAISE("Invalid NV_ENC_INITIALIZE_PARAMS ptr", NV_ENC_ERR_INVALID_PTR);
    }
    if (pEncoderParams->encodeWidth == 0 || pEncoderParams->encodeHeight == 0) {
        NVENC_RAISE("Invalid encoder width and height", NV_ENC_ERR_INVALID_PARAM);
    }
    const GUID codec = pEncoderParams->encodeGUID;
    if (!IsCodecGuid(codec))
        NVENC_RAISE("Invalid codec guid", NV_ENC_ERR_INVALID_PARAM);
    const bool h264 = SameGuid(codec, NV_ENC_CODEC_H264_GUID);
    const bool hevc = SameGuid(codec, NV_ENC_CODEC_HEVC_GUID);
    const bool av1 = SameGuid(codec, NV_ENC_CODEC_AV1_GUID);
    if (h264 && Is10Bit(m_eInputFormat)) {
        NVENC_RAISE("10-bit format isn't supported by H264 encoder", NV_ENC_ERR_INVALID_PARAM);
    }
    if (av1 && Is444(m_eInputFormat)) {
        NVENC_RAISE("YUV444 format isn't supported by AV1 encoder", NV_ENC_ERR_INVALID_PARAM);
    }
    // The checks of the caller's configuration; without one the preset below is used as is.
    if (const NV_ENC_CONFIG* config = pEncoderParams->encodeConfig) {
        const NV_ENC_CODEC_CONFIG& codecConfig = config->encodeCodecConfig;
        if (h264 && m_eInputFormat == NV_ENC_BUFFER_FORMAT_YUV444 &&
            codecConfig.h264Config.chromaFormatIDC != 3) {
            NVENC_RAISE("Invalid ChromaFormatIDC", NV_ENC_ERR_INVALID_PARAM);
        }
        if (hevc && Is10Bit(m_eInputFormat) &&
            codecConfig.hevcConfig.inputBitDepth != NV_ENC_BIT_DEPTH_10) {
            NVENC_RAISE("Invalid PixelBitdepth", NV_ENC_ERR_INVALID_PARAM);
        }
        if (hevc && Is444(m_eInputFormat) && codecConfig.hevcConfig.chromaFormatIDC != 3) {
            NVENC_RAISE("Invalid ChromaFormatIDC", NV_ENC_ERR_INVALID_PARAM);
        }
        if (av1 && m_eInputFormat == NV_ENC_BUFFER_FORMAT_YUV420_10BIT &&
            codecConfig.av1Config.inputBitDepth != NV_ENC_BIT_DEPTH_10) {
            NVENC_RAISE("Invalid PixelBitdepth", NV_ENC_ERR_INVALID_PARAM);
        }
        if (av1 && codecConfig.av1Config.chromaFormatIDC != 1) {
            NVENC_RAISE("Invalid ChromaFormatIDC", NV_ENC_ERR_INVALID_PARAM);
        }
        if (av1 && m_bOutputToVidmem && config->frameIntervalP > 1) {
            NVENC_RAISE("Alt Ref frames not supported for AV1 in case of OutputInVideoMemory",
                        NV_ENC_ERR_INVALID_PARAM);
        }
    }

    std::memcpy(&m_initializeParams, pEncoderParams, sizeof(m_initializeParams));
    m_initializeParams.version = NV_ENC_INITIALIZE_PARAMS_VER;

    if (pEncoderParams->encodeConfig) {
        std::memcpy(&m_activeConfig, pEncoderParams->encodeConfig, sizeof(m_activeConfig));
        m_activeConfig.version = NV_ENC_CONFIG_VER;
    } else if (m_bMEOnlyMode) {
        m_activeConfig.version = NV_ENC_CONFIG_VER;
        m_activeConfig.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
        m_activeConfig.rcParams.constQP = {28, 31, 25};
    } else {
        NV_ENC_PRESET_CONFIG presetConfig;
        std::memset(&presetConfig, 0, sizeof(presetConfig));
        presetConfig.version = NV_ENC_PRESET_CONFIG_VER;
        presetConfig.presetCfg.version = NV_ENC_CONFIG_VER;
        m_nvenc.nvEncGetEncodePresetConfigEx(m_hEncoder, pEncoderParams->encodeGUID,
                                             pEncoderParams->presetGUID, pEncoderParams->tuningInfo,
                                             &presetConfig);
        std::memcpy(&m_activeConfig, &presetConfig.presetCfg, sizeof(m_activeConfig));
        if (m_bOutputToVidmem && av1)
            m_activeConfig.frameIntervalP = 1;
    }

    // Unsigned on purpose: an infinite GOP (0xFFFFFFFF) never clamps.
    if (static_cast<uint32_t>(m_activeConfig.frameIntervalP) > m_activeConfig.gopLength) {
        m_activeConfig.frameIntervalP = static_cast<int32_t>(m_activeConfig.gopLength);
    }

    // A ring without a slot would divide by zero on the first picture, and one past INT_MAX
    // cannot be counted: refuse both before the session is initialised.
    const int64_t bufferCount = static_cast<int64_t>(m_activeConfig.frameIntervalP) +
                                m_activeConfig.rcParams.lookaheadDepth + m_nExtraDelay;
    if (bufferCount < 1 || bufferCount > INT32_MAX) {
        NVENC_RAISE("Invalid number of encoder buffers", NV_ENC_ERR_INVALID_PARAM);
    }

    m_initializeParams.encodeConfig = &m_activeConfig;
    NVENC_CHECK_CALL(m_nvenc.nvEncInitializeEncoder(m_hEncoder, &m_initializeParams));
    m_bInitialized = true;
    m_nFrameWidth = m_initializeParams.encodeWidth;
    m_nFrameHeight = m_initializeParams.encodeHeight;
    m_nMaxWidth = m_initializeParams.maxEncodeWidth;
    m_nMaxHeight = m_initializeParams.maxEncodeHeight;

    m_nEncoderBuffer = static_cast<int32_t>(bufferCount);
    m_nOutputLag = m_nEncoderBuffer - 1;

    // Only Windows has event objects that the driver signals, and only an asynchronous
    // session uses them; elsewhere the driver refuses them and the blocking lock waits.
    if (m_bPlatformSignalsEvents && m_initializeParams.enableEncodeAsync && !m_bOutputToVidmem)
        m_vCompletionEvents.resize(m_nEncoderBuffer, nullptr);
    for (void*& event : m_vCompletionEvents) {
        event = CreateEventW(NULL, FALSE, FALSE, NULL);
        NV_ENC_EVENT_PARAMS eventParams;
        std::memset(&eventParams, 0, sizeof(eventParams));
        eventParams.version = NV_ENC_EVENT_PARAMS_VER;
        eventParams.completionEvent = event;
        m_nvenc.nvEncRegisterAsyncEvent(m_hEncoder, &eventParams);
    }

    m_vMappedInputBuffers.resize(m_nEncoderBuffer, nullptr);

    if (m_bMEOnlyMode) {
        m_vMappedRefBuffers.resize(m_nEncoderBuffer, nullptr);
        if (!m_bOutputToVidmem)
            InitializeMVOutputBuffer();
    } else if (!m_bOutputToVidmem) {
        m_vBitstreamBuffers.resize(m_nEncoderBuffer, nullptr);
        InitializeBitstreamBuffer();
    }

    AllocateInputBuffers(m_nEncoderBuffer);
}

void NvEncoder::InitializeBitstreamBuffer() {
    for (int32_t i = 0; i < m_nEncoderBuffer; ++i) {
        NV_ENC_CREATE_BITSTREAM_BUFFER createBitstreamBuffer;
        std::memset(&createBitstreamBuffer, 0, sizeof(createBitstreamBuffer));
        createBitstreamBuffer.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
        NVENC_CHECK_CALL(m_nvenc.nvEncCreateBitstreamBuffer(m_hEncoder, &createBitstreamBuffer));
        m_vBitstreamBuffers[i] = createBitstreamBuffer.bitstreamBuffer;
    }
}

void NvEncoder::InitializeMVOutputBuffer() {
    for (int32_t i = 0; i < m_nEncoderBuffer; ++i) {
        NV_ENC_CREATE_MV_BUFFER createMVBuffer;
        std::memset(&createMVBuffer, 0, sizeof(createMVBuffer));
        createMVBuffer.version = NV_ENC_CREATE_MV_BUFFER_VER;
        NVENC_CHECK_CALL(m_nvenc.nvEncCreateMVBuffer(m_hEncoder, &createMVBuffer));
        m_vMVBuffers.push_back(createMVBuffer.mvBuffer);
    }
}

void NvEncoder::CloseEncoder() {
    if (!m_hEncoder)
        return;
    FreeInputBuffers();
    ReleaseEncoderResources();
}

void NvEncoder::ReleaseEncoderResources() {
    if (!m_hEncoder)
        return;

    for (void* event : m_vCompletionEvents) {
        if (!event)
            continue;
        NV_ENC_EVENT_PARAMS eventParams;
        std::memset(&eventParams, 0, sizeof(eventParams));
        eventParams.version = NV_ENC_EVENT_PARAMS_VER;
        eventParams.completionEvent = event;
        m_nvenc.nvEncUnregisterAsyncEvent(m_hEncoder, &eventParams);
        CloseHandle(event);
    }
    m_vCompletionEvents.clear();

    if (m_bMEOnlyMode)
        ReleaseAll(m_vMVBuffers,
                   [&](auto buffer) { m_nvenc.nvEncDestroyMVBuffer(m_hEncoder, buffer); });
    else
        ReleaseAll(m_vBitstreamBuffers,
                   [&](auto buffer) { m_nvenc.nvEncDestroyBitstreamBuffer(m_hEncoder, buffer); });

    m_nvenc.nvEncDestroyEncoder(m_hEncoder);
    m_hEncoder = nullptr;
    m_bInitialized = false;
}

const EncoderInputFrame* NvEncoder::NextInputSlot() {
    if (m_nEncoderBuffer <= 0 || m_vInputSlots.empty())
        return nullptr;
    const int32_t slot = m_iSubmitted % m_nEncoderBuffer;
    if (slot < 0 || static_cast<size_t>(slot) >= m_vInputSlots.size())
        return nullptr;
    return &m_vInputSlots[slot];
}

void* NvEncoder::CompletionEventFor(int32_t index) const {
    if (m_nEncoderBuffer <= 0 ||
        m_vCompletionEvents.size() != static_cast<size_t>(m_nEncoderBuffer)) {
        return nullptr;
    }
    return m_vCompletionEvents[index % m_nEncoderBuffer];
}

void NvEncoder::EncodeFrame(std::vector<std::vector<uint8_t>>& packets,
                            NV_ENC_PIC_PARAMS* picParams) {
    packets.clear();
    SubmitFrame(picParams);
    GetEncodedPacket(m_vBitstreamBuffers, packets, true);
}

void NvEncoder::EncodeFrame(std::vector<NvEncOutputPacket>& packets, uint64_t inputTimeStamp,
                            NV_ENC_PIC_PARAMS* picParams) {
    packets.clear();
    NV_ENC_PIC_PARAMS stamped;
    std::memset(&stamped, 0, sizeof(stamped));
    if (picParams)
        std::memcpy(&stamped, picParams, sizeof(stamped));
    stamped.inputTimeStamp = inputTimeStamp;
    SubmitFrame(&stamped);
    CollectPictures(m_vBitstreamBuffers, true, TimedPacketSink(packets));
}

void NvEncoder::SubmitFrame(NV_ENC_PIC_PARAMS* picParams) {
    if (!m_hEncoder || !m_bInitialized) {
        NVENC_RAISE_IN("Encoder device not found", NV_ENC_ERR_NO_ENCODE_DEVICE,
                       "NvEncoder::EncodeFrame");
    }
    // Motion-only and video-memory sessions have no bitstream buffers to fill or read.
    if (m_bMEOnlyMode || m_bOutputToVidmem) {
        NVENC_RAISE_IN("Session has no bitstream output in system memory", NV_ENC_ERR_INVALID_CALL,
                       "NvEncoder::EncodeFrame");
    }

    const int32_t slot = m_iSubmitted % m_nEncoderBuffer;
    MapResources(static_cast<uint32_t>(slot));

    NV_ENC_PIC_PARAMS encodeParams;
    std::memset(&encodeParams, 0, sizeof(encodeParams));
    if (picParams)
        std::memcpy(&encodeParams, picParams, sizeof(encodeParams));
    encodeParams.version = NV_ENC_PIC_PARAMS_VER;
    encodeParams.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    encodeParams.inputBuffer = m_vMappedInputBuffers[slot];
    encodeParams.bufferFmt = m_eInputFormat;
    encodeParams.inputWidth = m_nFrameWidth;
    encodeParams.inputHeight = m_nFrameHeight;
    encodeParams.frameIdx = static_cast<uint32_t>(m_iSubmitted);
    encodeParams.outputBitstream = m_vBitstreamBuffers[slot];
    encodeParams.completionEvent = CompletionEventFor(m_iSubmitted);

    const NVENCSTATUS status = m_nvenc.nvEncEncodePicture(m_hEncoder, &encodeParams);
    if (status != NV_ENC_SUCCESS && status != NV_ENC_ERR_NEED_MORE_INPUT) {
        NVENC_RAISE_IN("nvEncEncodePicture API failed", status, "NvEncoder::EncodeFrame");
    }
    m_iSubmitted++;
    m_bEndOfStreamSent = false;
}

void NvEncoder::EndEncode(std::vector<std::vector<uint8_t>>& packets) {
    packets.clear();
    EndStream();
    GetEncodedPacket(m_vBitstreamBuffers, packets, false);
}

void NvEncoder::EndEncode(std::vector<NvEncOutputPacket>& packets) {
    packets.clear();
    EndStream();
    CollectPictures(m_vBitstreamBuffers, false, TimedPacketSink(packets));
}

void NvEncoder::EndStream() {
    if (!m_hEncoder || !m_bInitialized) {
        NVENC_RAISE_IN("Encoder device not initialized", NV_ENC_ERR_ENCODER_NOT_INITIALIZED,
                       "NvEncoder::EndEncode");
    }
    if (m_bMEOnlyMode || m_bOutputToVidmem) {
        NVENC_RAISE_IN("Session has no bitstream output in system memory", NV_ENC_ERR_INVALID_CALL,
                       "NvEncoder::EndEncode");
    }
    // The driver refuses a second end of stream; the first one has already returned
    // every picture, so there is nothing more to send for.
    if (!m_bEndOfStreamSent)
        SendEOS();
}

void NvEncoder::SendEOS() {
    NV_ENC_PIC_PARAMS picParams;
    std::memset(&picParams, 0, sizeof(picParams));
    picParams.version = NV_ENC_PIC_PARAMS_VER;
    picParams.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
    picParams.completionEvent = CompletionEventFor(m_iSubmitted);
    NVENC_CHECK_CALL(m_nvenc.nvEncEncodePicture(m_hEncoder, &picParams));
    m_bEndOfStreamSent = true;
}

std::function<void(const NV_ENC_LOCK_BITSTREAM&)> NvEncoder::TimedPacketSink(
    std::vector<NvEncOutputPacket>& packets) {
    return [this, &packets](const NV_ENC_LOCK_BITSTREAM& lock) {
        packets.emplace_back();
        NvEncOutputPacket& packet = packets.back();
        packet.timeStamp = lock.outputTimeStamp;
        packet.pictureType = lock.pictureType;
        AppendPicture(packet.bytes, lock);
    };
}

void NvEncoder::GetEncodedPacket(std::vector<NV_ENC_OUTPUT_PTR>& outputs,
                                 std::vector<std::vector<uint8_t>>& packets, bool applyLag) {
    size_t produced = 0;
    CollectPictures(outputs, applyLag, [&](const NV_ENC_LOCK_BITSTREAM& lock) {
        if (packets.size() < produced + 1)
            packets.emplace_back();
        std::vector<uint8_t>& packet = packets[produced];
        packet.clear();
        AppendPicture(packet, lock);
        ++produced;
    });
}

void NvEncoder::AppendPicture(std::vector<uint8_t>& packet, const NV_ENC_LOCK_BITSTREAM& lock) {
    if (m_bIvfContainer && SameGuid(m_initializeParams.encodeGUID, NV_ENC_CODEC_AV1_GUID)) {
        AppendIvfHeaders(packet, lock);
    }
    const auto* data = static_cast<const uint8_t*>(lock.bitstreamBufferPtr);
    if (lock.bitstreamSizeInBytes != 0) {
        packet.insert(packet.end(), data, data + lock.bitstreamSizeInBytes);
    }
}

void NvEncoder::CollectPictures(std::vector<NV_ENC_OUTPUT_PTR>& outputs, bool applyLag,
                                const std::function<void(const NV_ENC_LOCK_BITSTREAM&)>& take) {
    const int32_t end = applyLag ? m_iSubmitted - m_nOutputLag : m_iSubmitted;
    while (m_iGot < end) {
        const int32_t slot = m_iGot % m_nEncoderBuffer;
        WaitForCompletionEvent(slot);

        NV_ENC_LOCK_BITSTREAM lockBitstreamData;
        std::memset(&lockBitstreamData, 0, sizeof(lockBitstreamData));
        lockBitstreamData.version = NV_ENC_LOCK_BITSTREAM_VER;
        lockBitstreamData.outputBitstream = outputs[slot];
        lockBitstreamData.doNotWait = 0;  // block until the picture is done
        NVENC_CHECK_CALL_IN(m_nvenc.nvEncLockBitstream(m_hEncoder, &lockBitstreamData),
                            "NvEncoder::GetEncodedPacket");

        take(lockBitstreamData);

        NVENC_CHECK_CALL_IN(
            m_nvenc.nvEncUnlockBitstream(m_hEncoder, lockBitstreamData.outputBitstream),
            "NvEncoder::GetEncodedPacket");

        if (m_vMappedInputBuffers[slot]) {
            // One line: the call's text is the error message.
            // clang-format off
            NVENC_CHECK_CALL_IN(m_nvenc.nvEncUnmapInputResource(m_hEncoder, m_vMappedInputBuffers[m_iGot % m_nEncoderBuffer]), "NvEncoder::GetEncodedPacket");
            // clang-format on
            m_vMappedInputBuffers[slot] = nullptr;
        }
        if (m_bMEOnlyMode && m_vMappedRefBuffers[slot]) {
            // clang-format off
            NVENC_CHECK_CALL_IN(m_nvenc.nvEncUnmapInputResource(m_hEncoder, m_vMappedRefBuffers[m_iGot % m_nEncoderBuffer]), "NvEncoder::GetEncodedPacket");
            // clang-format on
            m_vMappedRefBuffers[slot] = nullptr;
        }
        m_iGot++;
    }
}

void NvEncoder::AppendIvfHeaders(std::vector<uint8_t>& packet, const NV_ENC_LOCK_BITSTREAM& lock) {
    if (m_bIvfHeaderPending) {
        static const uint8_t kSignature[4] = {'D', 'K', 'I', 'F'};
        static const uint8_t kFourCC[4] = {'A', 'V', '0', '1'};
        packet.insert(packet.end(), kSignature, kSignature + 4);
        AppendLittleEndian(packet, 0, 2);   // version
        AppendLittleEndian(packet, 32, 2);  // header length
        packet.insert(packet.end(), kFourCC, kFourCC + 4);
        AppendLittleEndian(packet, m_initializeParams.encodeWidth & 0xFFFF, 2);
        AppendLittleEndian(packet, m_initializeParams.encodeHeight & 0xFFFF, 2);
        AppendLittleEndian(packet, m_initializeParams.frameRateNum, 4);
        AppendLittleEndian(packet, m_initializeParams.frameRateDen, 4);
        AppendLittleEndian(packet, 0xFFFF, 4);  // frame count: unknown while live
        AppendLittleEndian(packet, 0, 4);
        m_bIvfHeaderPending = false;
    }
    AppendLittleEndian(packet, lock.bitstreamSizeInBytes, 4);
    AppendLittleEndian(packet, lock.outputTimeStamp, 8);
}

void NvEncoder::WaitForCompletionEvent(int slot) {
    if (!m_initializeParams.enableEncodeAsync)
        return;  // the blocking lock waits instead
    // A slot without an event cannot be waited on; report it as the failed wait it is.
    if (slot < 0 || static_cast<size_t>(slot) >= m_vCompletionEvents.size() ||
        WaitForSingleObject(m_vCompletionEvents[slot], kCompletionWaitMs) == WAIT_FAILED) {
        NVENC_RAISE("Failed to encode frame", NV_ENC_ERR_GENERIC);
    }
}

void NvEncoder::MapResources(uint32_t slot) {
    NV_ENC_MAP_INPUT_RESOURCE mapInputResource;
    std::memset(&mapInputResource, 0, sizeof(mapInputResource));
    mapInputResource.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    mapInputResource.registeredResource = m_vRegisteredInputs[slot];
    NVENC_CHECK_CALL(m_nvenc.nvEncMapInputResource(m_hEncoder, &mapInputResource));
    m_vMappedInputBuffers[slot] = mapInputResource.mappedResource;

    if (m_bMEOnlyMode) {
        std::memset(&mapInputResource, 0, sizeof(mapInputResource));
        mapInputResource.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
        mapInputResource.registeredResource = m_vRegisteredReferences[slot];
        NVENC_CHECK_CALL(m_nvenc.nvEncMapInputResource(m_hEncoder, &mapInputResource));
        m_vMappedRefBuffers[slot] = mapInputResource.mappedResource;
    }
}

NV_ENC_REGISTERED_PTR NvEncoder::RegisterResource(uintptr_t buffer, NV_ENC_INPUT_RESOURCE_TYPE type,
                                                  int width, int height, int pitch,
                                                  NV_ENC_BUFFER_FORMAT format) {
    NV_ENC_REGISTER_RESOURCE registerResource;
    std::memset(&registerResource, 0, sizeof(registerResource));
    registerResource.version = NV_ENC_REGISTER_RESOURCE_VER;
    registerResource.resourceType = type;
    registerResource.width = static_cast<uint32_t>(width);
    registerResource.height = static_cast<uint32_t>(height);
    registerResource.pitch = static_cast<uint32_t>(pitch);
    registerResource.subResourceIndex = 0;
    registerResource.resourceToRegister = reinterpret_cast<void*>(buffer);
    registerResource.bufferFormat = format;
    registerResource.bufferUsage = NV_ENC_INPUT_IMAGE;
    registerResource.pInputFencePoint = nullptr;
    NVENC_CHECK_CALL(m_nvenc.nvEncRegisterResource(m_hEncoder, &registerResource));
    return registerResource.registeredResource;
}

void NvEncoder::RegisterInputFrames(std::vector<uintptr_t> buffers, NV_ENC_INPUT_RESOURCE_TYPE type,
                                    int width, int height, int pitch, NV_ENC_BUFFER_FORMAT format,
                                    bool isReference) {
    for (uintptr_t buffer : buffers) {
        NV_ENC_REGISTERED_PTR handle = RegisterResource(buffer, type, width, height, pitch, format);
        std::vector<uint32_t> offsets;
        GetChromaSubPlaneOffsets(format, static_cast<uint32_t>(pitch),
                                 static_cast<uint32_t>(height), offsets);
        EncoderInputFrame frame;
        frame.bufferPtr = buffer;
        for (size_t i = 0; i < offsets.size() && i < 2; ++i)
            frame.planeOffsets[i] = offsets[i];
        frame.planeCount = GetNumChromaPlanes(format);
        frame.lumaPitch = static_cast<uint32_t>(pitch);
        frame.planePitch = GetChromaPitch(format, static_cast<uint32_t>(pitch));
        frame.format = format;
        frame.resourceKind = type;
        if (isReference) {
            m_vRegisteredReferences.push_back(handle);
            m_vReferenceSlots.push_back(frame);
        } else {
            m_vRegisteredInputs.push_back(handle);
            m_vInputSlots.push_back(frame);
        }
    }
}

void NvEncoder::DrainEncoder() {
    if (m_bMEOnlyMode || m_bOutputToVidmem)
        return;
    try {
        std::vector<std::vector<uint8_t>> discarded;
        EndEncode(discarded);
    } catch (...) {
        // Teardown goes on whatever the encoder says.
    }
}

void NvEncoder::UnregisterInputFrames() {
    DrainEncoder();

    const auto unmap = [&](auto mapped) { m_nvenc.nvEncUnmapInputResource(m_hEncoder, mapped); };
    const auto unregister = [&](auto registered) {
        m_nvenc.nvEncUnregisterResource(m_hEncoder, registered);
    };
    if (m_bMEOnlyMode)
        ReleaseAll(m_vMappedRefBuffers, unmap);
    m_vMappedRefBuffers.clear();
    ReleaseAll(m_vMappedInputBuffers, unmap);
    ReleaseAll(m_vRegisteredInputs, unregister);
    ReleaseAll(m_vRegisteredReferences, unregister);
}

// Geometry. Halving rounds up; everything wraps modulo 2^32 as the callers expect.

uint32_t NvEncoder::GetWidthInBytes(NV_ENC_BUFFER_FORMAT format, uint32_t width) {
    const FormatRow& row = CAMFX_FORMAT_ROW(format);
    return width * row.bytesPerSample;
}

uint32_t NvEncoder::GetNumChromaPlanes(NV_ENC_BUFFER_FORMAT format) {
    const FormatRow& row = CAMFX_FORMAT_ROW(format);
    return row.chromaPlanes;
}

uint32_t NvEncoder::GetChromaPitch(NV_ENC_BUFFER_FORMAT format, uint32_t lumaPitch) {
    const FormatRow& row = CAMFX_FORMAT_ROW(format);
    return row.chromaPlanes == 0 ? 0 : row.halfChromaPitch ? Half(lumaPitch) : lumaPitch;
}

void NvEncoder::GetChromaSubPlaneOffsets(NV_ENC_BUFFER_FORMAT format, uint32_t pitch,
                                         uint32_t height, std::vector<uint32_t>& offsets) {
    offsets.clear();
    const FormatRow& row = CAMFX_FORMAT_ROW(format);
    // Each chroma plane right after the one before it, the first after the luma plane.
    const uint32_t planeSize = GetChromaPitch(format, pitch) * GetChromaHeight(format, height);
    for (uint32_t plane = 0; plane < row.chromaPlanes; ++plane)
        offsets.push_back(plane == 0 ? pitch * height : offsets.back() + planeSize);
}

uint32_t NvEncoder::GetChromaHeight(NV_ENC_BUFFER_FORMAT format, uint32_t lumaHeight) {
    const FormatRow& row = CAMFX_FORMAT_ROW(format);
    return row.sampling == Sampling::Yuv420   ? Half(lumaHeight)
           : row.sampling == Sampling::Yuv444 ? lumaHeight
                                              : 0;
}

uint32_t NvEncoder::GetChromaWidthInBytes(NV_ENC_BUFFER_FORMAT format, uint32_t lumaWidth) {
    const FormatRow& row = CAMFX_FORMAT_ROW(format);
    // An interleaved Cb/Cr row holds as many bytes as a luma row.
    const uint32_t samples = row.halfChromaPitch ? Half(lumaWidth) : lumaWidth;
    return row.chromaPlanes == 0 ? 0 : samples * row.bytesPerSample;
}

int32_t NvEncoder::GetFrameSize() const {
    const FormatRow& row = CAMFX_FORMAT_ROW(m_eInputFormat);
    // Signed 32-bit arithmetic that wraps: multiply as unsigned, halve as signed.
    const uint32_t w = m_nFrameWidth;
    const uint32_t h = m_nFrameHeight;
    const uint32_t halfH = static_cast<uint32_t>(static_cast<int32_t>(h + 1) / 2);
    const uint32_t lumaRowBytes = row.bytesPerSample * w;
    // 4:2:0 chroma takes half the luma rows at a luma row's bytes, as one interleaved plane
    // or as two half-width ones.
    const uint32_t size = row.sampling == Sampling::Yuv420   ? lumaRowBytes * (h + halfH)
                          : row.sampling == Sampling::Yuv444 ? 3 * lumaRowBytes * h
                                                             : lumaRowBytes * h;
    return static_cast<int32_t>(size);
}
