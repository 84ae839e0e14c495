// Asks an encoder for a session as the viewer's recording set-up does: preset P3 with
// low-latency tuning, HEVC, unless another codec or preset is given.
#pragma once

#include <memory>

#include "NvEncoder/NvEncoderCuda.h"

inline void RequestRecording(NvEncoder& encoder, GUID codec = NV_ENC_CODEC_HEVC_GUID,
                             GUID preset = NV_ENC_PRESET_P3_GUID) {
    NV_ENC_INITIALIZE_PARAMS init{};
    NV_ENC_CONFIG config{};
    init.version = NV_ENC_INITIALIZE_PARAMS_VER;
    config.version = NV_ENC_CONFIG_VER;
    init.encodeConfig = &config;
    encoder.CreateDefaultEncoderParams(&init, codec, preset, NV_ENC_TUNING_INFO_LOW_LATENCY);
    encoder.CreateEncoder(&init);
}

// A 1280x720 NV12 encoder with the viewer's extra output delay, its session requested.
inline std::unique_ptr<NvEncoderCuda> CreateRecordingEncoder(CUcontext context) {
    auto encoder = std::make_unique<NvEncoderCuda>(context, 1280, 720, NV_ENC_BUFFER_FORMAT_NV12, 3,
                                                   false, false, true);
    RequestRecording(*encoder);
    return encoder;
}
