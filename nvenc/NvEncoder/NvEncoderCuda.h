// The encoder whose input pictures live in CUDA device memory of one driver context.
#pragma once

#include <cuda.h>

#include "NvEncoder.h"

class NvEncoderCuda : public NvEncoder {
  public:
    NvEncoderCuda(CUcontext cuContext, uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format,
                  uint32_t extraOutputDelay, bool motionEstimationOnly, bool outputInVideoMemory,
                  bool ivfContainer);
    ~NvEncoderCuda() override;

    // Copies one picture, plane by plane, from host or device memory into an input buffer.
    // srcPitch 0 means tightly packed rows. With a stream the copies are only queued on it.
    static void CopyToDeviceFrame(CUcontext context, const void* src, uint32_t srcPitch,
                                  CUdeviceptr dst, uint32_t dstPitch, int width, int height,
                                  CUmemorytype srcMemoryType, NV_ENC_BUFFER_FORMAT format,
                                  const uint32_t* dstPlaneOffsets, uint32_t planeCount,
                                  bool unalignedCopy = false, CUstream stream = nullptr);

  protected:
    void AllocateInputBuffers(int32_t numInputBuffers) override;
    void FreeInputBuffers() override;

    CUcontext m_cudaContext;
    size_t m_nInputPitch;
};
