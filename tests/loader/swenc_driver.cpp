// The software encoder as a driver's encoder library would present it: a shared library
// exporting the two NVENC entry points. Its CUDA calls bind to the loading process. Built with
// SWENC_DRIVER_WITHOUT_AV1 it stands for a GPU older than the 40 series: it lists H.264 and
// HEVC only, and refuses AV1 sessions as such a GPU's driver does.
#include "NvEncGuid.h"
#include "SoftwareEncoder.h"

namespace {

#ifdef SWENC_DRIVER_WITHOUT_AV1
NV_ENCODE_API_FUNCTION_LIST g_software{};

NVENCSTATUS NVENCAPI GetCodecCount(void* encoder, uint32_t* count) {
    if (encoder == nullptr || count == nullptr)
        return NV_ENC_ERR_INVALID_PTR;
    *count = 2;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI GetCodecs(void* encoder, GUID* codecs, uint32_t size, uint32_t* count) {
    if (encoder == nullptr || codecs == nullptr || count == nullptr)
        return NV_ENC_ERR_INVALID_PTR;
    if (size < 2)
        return NV_ENC_ERR_INVALID_PARAM;
    codecs[0] = NV_ENC_CODEC_H264_GUID;
    codecs[1] = NV_ENC_CODEC_HEVC_GUID;
    *count = 2;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI PresetConfig(void* encoder, GUID codec, GUID preset, NV_ENC_TUNING_INFO tuning,
                                  NV_ENC_PRESET_CONFIG* config) {
    if (SameGuid(codec, NV_ENC_CODEC_AV1_GUID))
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    return g_software.nvEncGetEncodePresetConfigEx(encoder, codec, preset, tuning, config);
}

NVENCSTATUS NVENCAPI Initialize(void* encoder, NV_ENC_INITIALIZE_PARAMS* params) {
    if (params != nullptr && SameGuid(params->encodeGUID, NV_ENC_CODEC_AV1_GUID))
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    return g_software.nvEncInitializeEncoder(encoder, params);
}
#endif

}  // namespace

extern "C" {

__attribute__((visibility("default"))) NVENCSTATUS NVENCAPI
NvEncodeAPIGetMaxSupportedVersion(uint32_t* version) {
    return camfx::swenc::GetMaxSupportedVersion(version);
}

__attribute__((visibility("default"))) NVENCSTATUS NVENCAPI
NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
    const NVENCSTATUS status = camfx::swenc::CreateInstance(list);
#ifdef SWENC_DRIVER_WITHOUT_AV1
    if (status == NV_ENC_SUCCESS) {
        g_software = *list;
        list->nvEncGetEncodeGUIDCount = &GetCodecCount;
        list->nvEncGetEncodeGUIDs = &GetCodecs;
        list->nvEncGetEncodePresetConfigEx = &PresetConfig;
        list->nvEncInitializeEncoder = &Initialize;
    }
#endif
    return status;
}

}  // extern "C"
