// The driver API half of the CUDA stand-in: contexts, memory, 2D copies and error names.
#define CAMFX_CUDA_STANDIN_INTERNAL
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "state.h"

namespace cudahost::detail {
namespace {

std::atomic<bool> initialized{false};
thread_local std::vector<CUcontext> contextStack;

LiveHandles<CUcontext>& liveContexts() {
    static LiveHandles<CUcontext> live;
    return live;
}

#define CAMFX_INJECTED_FAILURE(name)      \
    if (auto failure = takeFailure(name)) \
    return static_cast<CUresult>(*failure)

// Copies a 2D region between host and device memory. Device ranges must lie inside live
// allocations, as on the GPU, where anything else faults.
CUresult copy2D(const CUDA_MEMCPY2D* copy) {
    if (copy == nullptr)
        return CUDA_ERROR_INVALID_VALUE;
    if (currentContext() == nullptr)
        return CUDA_ERROR_INVALID_CONTEXT;
    const auto plainMemory = [](CUmemorytype type) {
        return type == CU_MEMORYTYPE_HOST || type == CU_MEMORYTYPE_DEVICE;
    };
    if (!plainMemory(copy->srcMemoryType) || !plainMemory(copy->dstMemoryType))
        return CUDA_ERROR_INVALID_VALUE;
    if (copy->WidthInBytes == 0 || copy->Height == 0)
        return CUDA_SUCCESS;
    if (copy->srcPitch < copy->WidthInBytes + copy->srcXInBytes ||
        copy->dstPitch < copy->WidthInBytes + copy->dstXInBytes)
        return CUDA_ERROR_INVALID_VALUE;

    const auto* src = copy->srcMemoryType == CU_MEMORYTYPE_HOST
                          ? static_cast<const uint8_t*>(copy->srcHost)
                          : reinterpret_cast<const uint8_t*>(copy->srcDevice);
    auto* dst = copy->dstMemoryType == CU_MEMORYTYPE_HOST
                    ? static_cast<uint8_t*>(copy->dstHost)
                    : reinterpret_cast<uint8_t*>(copy->dstDevice);
    if (src == nullptr || dst == nullptr)
        return CUDA_ERROR_INVALID_VALUE;
    src += copy->srcY * copy->srcPitch + copy->srcXInBytes;
    dst += copy->dstY * copy->dstPitch + copy->dstXInBytes;

    const size_t srcSpan = (copy->Height - 1) * copy->srcPitch + copy->WidthInBytes;
    const size_t dstSpan = (copy->Height - 1) * copy->dstPitch + copy->WidthInBytes;
    if (copy->srcMemoryType == CU_MEMORYTYPE_DEVICE && !deviceAddressable(src, srcSpan))
        return CUDA_ERROR_INVALID_VALUE;
    if (copy->dstMemoryType == CU_MEMORYTYPE_DEVICE && !deviceAddressable(dst, dstSpan))
        return CUDA_ERROR_INVALID_VALUE;

    for (size_t row = 0; row < copy->Height; ++row)
        std::memmove(dst + row * copy->dstPitch, src + row * copy->srcPitch, copy->WidthInBytes);
    return CUDA_SUCCESS;
}

// The checks of a call that names the one device and writes through `out`.
CUresult checkDeviceCall(const void* out, CUdevice device) {
    if (!initialized.load())
        return CUDA_ERROR_NOT_INITIALIZED;
    if (out == nullptr)
        return CUDA_ERROR_INVALID_VALUE;
    if (device != 0)
        return CUDA_ERROR_INVALID_DEVICE;  // one device: ordinal 0
    return CUDA_SUCCESS;
}

// The checks of a call that takes a context: one never created, or destroyed, is not one.
CUresult checkContext(CUcontext ctx) {
    if (ctx == nullptr)
        return CUDA_ERROR_INVALID_VALUE;
    return liveContexts().contains(ctx) ? CUDA_SUCCESS : CUDA_ERROR_INVALID_CONTEXT;
}

}  // namespace

bool driverInitialized() {
    return initialized.load();
}

CUcontext currentContext() {
    return contextStack.empty() ? nullptr : contextStack.back();
}

}  // namespace cudahost::detail

using namespace cudahost::detail;

extern "C" {

CUresult cuInit(unsigned int Flags) {
    CAMFX_INJECTED_FAILURE("cuInit");
    if (Flags != 0)
        return CUDA_ERROR_INVALID_VALUE;
    initialized = true;
    return CUDA_SUCCESS;
}

CUresult cuDeviceGet(CUdevice* device, int ordinal) {
    CAMFX_INJECTED_FAILURE("cuDeviceGet");
    if (CUresult result = checkDeviceCall(device, ordinal); result != CUDA_SUCCESS)
        return result;
    *device = 0;
    return CUDA_SUCCESS;
}

CUresult cuDeviceGetName(char* name, int len, CUdevice dev) {
    if (CUresult result = checkDeviceCall(name, dev); result != CUDA_SUCCESS)
        return result;
    if (len <= 0)
        return CUDA_ERROR_INVALID_VALUE;
    std::snprintf(name, static_cast<size_t>(len), "%s", "camfx host stand-in");
    return CUDA_SUCCESS;
}

CUresult cuCtxCreate(CUcontext* pctx, CUctxCreateParams*, unsigned int, CUdevice dev) {
    CAMFX_INJECTED_FAILURE("cuCtxCreate");
    if (CUresult result = checkDeviceCall(pctx, dev); result != CUDA_SUCCESS)
        return result;
    auto* ctx = new CUctx_st{dev};
    liveContexts().add(ctx);
    contextStack.push_back(ctx);
    *pctx = ctx;
    return CUDA_SUCCESS;
}

CUresult cuCtxDestroy(CUcontext ctx) {
    CAMFX_INJECTED_FAILURE("cuCtxDestroy");
    if (ctx == nullptr)
        return CUDA_ERROR_INVALID_VALUE;
    // Checked and forgotten in one step: of two destroys of one context, one deletes it.
    if (!liveContexts().remove(ctx))
        return CUDA_ERROR_INVALID_CONTEXT;
    if (!contextStack.empty() && contextStack.back() == ctx)
        contextStack.pop_back();
    delete ctx;
    return CUDA_SUCCESS;
}

CUresult cuCtxPushCurrent(CUcontext ctx) {
    CAMFX_INJECTED_FAILURE("cuCtxPushCurrent");
    if (CUresult result = checkContext(ctx); result != CUDA_SUCCESS)
        return result;
    contextStack.push_back(ctx);
    return CUDA_SUCCESS;
}

CUresult cuCtxPopCurrent(CUcontext* pctx) {
    CAMFX_INJECTED_FAILURE("cuCtxPopCurrent");
    if (contextStack.empty())
        return CUDA_ERROR_INVALID_CONTEXT;
    if (pctx != nullptr)
        *pctx = contextStack.back();
    contextStack.pop_back();
    return CUDA_SUCCESS;
}

CUresult cuCtxGetCurrent(CUcontext* pctx) {
    CAMFX_INJECTED_FAILURE("cuCtxGetCurrent");
    if (pctx == nullptr)
        return CUDA_ERROR_INVALID_VALUE;
    *pctx = currentContext();
    return CUDA_SUCCESS;
}

CUresult cuMemAlloc(CUdeviceptr* dptr, size_t bytesize) {
    CAMFX_INJECTED_FAILURE("cuMemAlloc");
    if (dptr == nullptr || bytesize == 0)
        return CUDA_ERROR_INVALID_VALUE;
    if (currentContext() == nullptr)
        return CUDA_ERROR_INVALID_CONTEXT;
    void* ptr = allocate(bytesize, MemoryKind::Device);
    if (ptr == nullptr)
        return CUDA_ERROR_OUT_OF_MEMORY;
    *dptr = reinterpret_cast<CUdeviceptr>(ptr);
    return CUDA_SUCCESS;
}

CUresult cuMemAllocPitch(CUdeviceptr* dptr, size_t* pPitch, size_t WidthInBytes, size_t Height,
                         unsigned int ElementSizeBytes) {
    CAMFX_INJECTED_FAILURE("cuMemAllocPitch");
    if (dptr == nullptr || pPitch == nullptr || WidthInBytes == 0 || Height == 0)
        return CUDA_ERROR_INVALID_VALUE;
    if (ElementSizeBytes != 4 && ElementSizeBytes != 8 && ElementSizeBytes != 16)
        return CUDA_ERROR_INVALID_VALUE;
    if (currentContext() == nullptr)
        return CUDA_ERROR_INVALID_CONTEXT;
    // Rows padded to 512 bytes, a typical texture pitch alignment of current GPUs.
    constexpr size_t kPitchAlignment = 512;
    const size_t pitch = (WidthInBytes + kPitchAlignment - 1) / kPitchAlignment * kPitchAlignment;
    void* ptr = allocate(pitch * Height, MemoryKind::Device);
    if (ptr == nullptr)
        return CUDA_ERROR_OUT_OF_MEMORY;
    *dptr = reinterpret_cast<CUdeviceptr>(ptr);
    *pPitch = pitch;
    return CUDA_SUCCESS;
}

CUresult cuMemFree(CUdeviceptr dptr) {
    CAMFX_INJECTED_FAILURE("cuMemFree");
    if (currentContext() == nullptr)
        return CUDA_ERROR_INVALID_CONTEXT;
    if (dptr == 0)
        return CUDA_SUCCESS;
    return release(reinterpret_cast<void*>(dptr), MemoryKind::Device) ? CUDA_SUCCESS
                                                                      : CUDA_ERROR_INVALID_VALUE;
}

CUresult cuMemcpy2D(const CUDA_MEMCPY2D* pCopy) {
    CAMFX_INJECTED_FAILURE("cuMemcpy2D");
    return copy2D(pCopy);
}

CUresult cuMemcpy2DAsync(const CUDA_MEMCPY2D* pCopy, CUstream hStream) {
    CAMFX_INJECTED_FAILURE("cuMemcpy2DAsync");
    if (!streamValid(hStream))
        return CUDA_ERROR_INVALID_HANDLE;
    return copy2D(pCopy);  // streams run their work when it is queued
}

CUresult cuMemcpy2DUnaligned(const CUDA_MEMCPY2D* pCopy) {
    CAMFX_INJECTED_FAILURE("cuMemcpy2DUnaligned");
    return copy2D(pCopy);
}

CUresult cuGetErrorName(CUresult error, const char** pStr) {
    if (pStr == nullptr)
        return CUDA_ERROR_INVALID_VALUE;
    switch (error) {
#define CAMFX_NAME(value) \
    case value:           \
        *pStr = #value;   \
        return CUDA_SUCCESS;
        CAMFX_NAME(CUDA_SUCCESS)
        CAMFX_NAME(CUDA_ERROR_INVALID_VALUE)
        CAMFX_NAME(CUDA_ERROR_OUT_OF_MEMORY)
        CAMFX_NAME(CUDA_ERROR_NOT_INITIALIZED)
        CAMFX_NAME(CUDA_ERROR_DEINITIALIZED)
        CAMFX_NAME(CUDA_ERROR_NO_DEVICE)
        CAMFX_NAME(CUDA_ERROR_INVALID_DEVICE)
        CAMFX_NAME(CUDA_ERROR_INVALID_CONTEXT)
        CAMFX_NAME(CUDA_ERROR_INVALID_HANDLE)
        CAMFX_NAME(CUDA_ERROR_ILLEGAL_ADDRESS)
        CAMFX_NAME(CUDA_ERROR_LAUNCH_FAILED)
        CAMFX_NAME(CUDA_ERROR_NOT_SUPPORTED)
        CAMFX_NAME(CUDA_ERROR_UNKNOWN)
#undef CAMFX_NAME
    }
    *pStr = nullptr;
    return CUDA_ERROR_INVALID_VALUE;
}

}  // extern "C"
