// Asks an encoder for a session as the viewer's recording set-up does: preset P3 with
// low-latency tuning, HEVC, unless another codec or preset is given; with `keyFrameInterval`,
// an IDR picture that often, as a container recording asks.
#pragma once

#include <cstdint>
#include <memory>

#include "NvEncGuid.h"
#include "NvEncoder/NvEncoderCuda.h"
#include "host_copy.h"

inline void RequestRecording(NvEncoder& encoder, GUID codec = NV_ENC_CODEC_HEVC_GUID,
                             GUID preset = NV_ENC_PRESET_P3_GUID, uint32_t keyFrameInterval = 0) {
    NV_ENC_INITIALIZE_PARAMS init{};
    NV_ENC_CONFIG config{};
    init.version = NV_ENC_INITIALIZE_PARAMS_VER;
    config.version = NV_ENC_CONFIG_VER;
    init.encodeConfig = &config;
    encoder.CreateDefaultEncoderParams(&init, codec, preset, NV_ENC_TUNING_INFO_LOW_LATENCY);
    if (keyFrameInterval > 0) {
        config.gopLength = keyFrameInterval;
        NV_ENC_CODEC_CONFIG& codecConfig = config.encodeCodecConfig;
        if (SameGuid(codec, NV_ENC_CODEC_H264_GUID))
            codecConfig.h264Config.idrPeriod = keyFrameInterval;
        else if (SameGuid(codec, NV_ENC_CODEC_AV1_GUID))
            codecConfig.av1Config.idrPeriod = keyFrameInterval;
        else
            codecConfig.hevcConfig.idrPeriod = keyFrameInterval;
    }
    encoder.CreateEncoder(&init);
}

// A CUDA context on the first device, current on this thread, and a device buffer for one
// NV12 picture of `width` x `height`, as the recorder has; both are freed when it goes.
struct Nv12Device {
    Nv12Device(int width, int height) {
        cuInit(0);
        CUdevice device;
        cuDeviceGet(&device, 0);
        cuCtxCreate(&context, nullptr, 0, device);
        cuMemAlloc(&nv12, size_t(width) * height * 3 / 2);
    }
    ~Nv12Device() {
        cuMemFree(nv12);
        cuCtxDestroy(context);
    }
    Nv12Device(const Nv12Device&) = delete;
    Nv12Device& operator=(const Nv12Device&) = delete;

    CUcontext context = nullptr;
    CUdeviceptr nv12 = 0;
};

// The encoding thread's step before a submission: an NV12 picture made on the host, uploaded
// to `nv12` and copied from there into the encoder's next input buffer.
inline void FillNextInput(CUcontext context, NvEncoderCuda& encoder, CUdeviceptr nv12,
                          const uint8_t* picture, int width, int height) {
    const CUDA_MEMCPY2D upload = HostToDevice(picture, width, nv12, width, width, height * 3 / 2);
    cuMemcpy2D(&upload);
    const EncoderInputFrame* slot = encoder.NextInputSlot();
    NvEncoderCuda::CopyToDeviceFrame(
        context, reinterpret_cast<const void*>(nv12), 0, slot->bufferPtr, slot->lumaPitch, width,
        height, CU_MEMORYTYPE_DEVICE, slot->format, slot->planeOffsets, slot->planeCount);
}

// A 1280x720 NV12 encoder with the viewer's extra output delay, its session requested.
inline std::unique_ptr<NvEncoderCuda> CreateRecordingEncoder(CUcontext context) {
    auto encoder = std::make_unique<NvEncoderCuda>(context, 1280, 720, NV_ENC_BUFFER_FORMAT_NV12, 3,
                                                   false, false, true);
    RequestRecording(*encoder);
    return encoder;
}
