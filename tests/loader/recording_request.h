// Opens an encoder session as the viewer's recording set-up does: HEVC, 1280x720, preset P3,
// low-latency tuning.
#pragma once

#include <memory>

#include "NvEncoder/NvEncoderCuda.h"

inline std::unique_ptr<NvEncoderCuda> CreateRecordingEncoder(CUcontext context) {
    auto encoder = std::make_unique<NvEncoderCuda>(context, 1280, 720, NV_ENC_BUFFER_FORMAT_NV12, 3,
                                                   false, false, true);
    NV_ENC_INITIALIZE_PARAMS init{};
    NV_ENC_CONFIG config{};
    init.version = NV_ENC_INITIALIZE_PARAMS_VER;
    config.version = NV_ENC_CONFIG_VER;
    init.encodeConfig = &config;
    encoder->CreateDefaultEncoderParams(&init, NV_ENC_CODEC_HEVC_GUID, NV_ENC_PRESET_P3_GUID,
                                        NV_ENC_TUNING_INFO_LOW_LATENCY);
    encoder->CreateEncoder(&init);
    return encoder;
}
