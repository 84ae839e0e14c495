// The 2D copy that puts a picture made on the host into device memory.
#pragma once

#include <cuda.h>

#include <cstddef>

// A copy of `rows` rows of `width` bytes from host memory into device memory.
inline CUDA_MEMCPY2D HostToDevice(const void* host, size_t hostPitch, CUdeviceptr device,
                                  size_t devicePitch, size_t width, size_t rows) {
    CUDA_MEMCPY2D copy{};
    copy.srcMemoryType = CU_MEMORYTYPE_HOST;
    copy.srcHost = host;
    copy.srcPitch = hostPitch;
    copy.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    copy.dstDevice = device;
    copy.dstPitch = devicePitch;
    copy.WidthInBytes = width;
    copy.Height = rows;
    return copy;
}
