// The runtime API half of the CUDA stand-in: memory, copies, streams, events, errors and
// the launch support of the host kernels. Every stream runs its work when it is queued.
#define CAMFX_CUDA_STANDIN_INTERNAL
#include <cstring>
#include <type_traits>

#include "cuda_host.h"
#include "state.h"

namespace cudahost::detail {
namespace {

LiveHandles<cudaStream_t>& liveStreams() {
    static LiveHandles<cudaStream_t> live;
    return live;
}
LiveHandles<cudaEvent_t>& liveEvents() {
    static LiveHandles<cudaEvent_t> live;
    return live;
}

bool eventValid(cudaEvent_t event) {
    return liveEvents().contains(event);
}

// Allocates a block of `kind` into *out; a block of no bytes may be null.
cudaError_t allocateInto(void** out, size_t size, MemoryKind kind) {
    if (out == nullptr)
        return setError(cudaErrorInvalidValue);
    *out = allocate(size, kind);
    return *out != nullptr || size == 0 ? cudaSuccess : setError(cudaErrorMemoryAllocation);
}

// Frees a block of `kind`; null is a no-op, anything else not such a block is refused.
cudaError_t releaseBlock(void* ptr, MemoryKind kind) {
    if (ptr == nullptr)
        return cudaSuccess;
    return release(ptr, kind) ? cudaSuccess : setError(cudaErrorInvalidValue);
}

// Creates a stream or an event and makes it live.
template <typename Handle>
cudaError_t createHandle(Handle* out, LiveHandles<Handle>& live) {
    if (out == nullptr)
        return setError(cudaErrorInvalidValue);
    *out = new std::remove_pointer_t<Handle>;
    live.add(*out);
    return cudaSuccess;
}

// Destroys a live stream or event; any other handle is refused.
template <typename Handle>
cudaError_t destroyHandle(Handle handle, LiveHandles<Handle>& live) {
    if (!live.remove(handle))
        return setError(cudaErrorInvalidResourceHandle);
    delete handle;
    return cudaSuccess;
}

}  // namespace

bool streamValid(cudaStream_t stream) {
    if (stream == nullptr)
        return true;  // the legacy default stream
    return liveStreams().contains(stream);
}

}  // namespace cudahost::detail

namespace cudahost {

bool launchConfigValid(dim3 grid, dim3 block) {
    const unsigned long long threads = 1ull * block.x * block.y * block.z;
    const bool valid = grid.x != 0 && grid.y != 0 && grid.z != 0 && threads != 0 &&
                       threads <= 1024 && block.z <= 64 && grid.y <= 65535 && grid.z <= 65535;
    if (!valid)
        detail::setError(cudaErrorInvalidConfiguration);
    return valid;
}

void enqueue(cudaStream_t stream, const std::function<void()>& work) {
    if (!detail::streamValid(stream)) {
        detail::setError(cudaErrorInvalidResourceHandle);
        return;
    }
    if (auto failure = detail::takeFailure("cudaLaunchKernel")) {
        detail::setError(static_cast<cudaError_t>(*failure));
        return;
    }
    work();
}

}  // namespace cudahost

using namespace cudahost::detail;

namespace {

// Whether a copy's side is where its kind says: device memory on the device side, and no
// device memory on the host side. A kind that names the wrong side works on a GPU only
// through unified addressing, so it is refused here. cudaMemcpyDefault takes any memory.
bool sideMatches(const void* ptr, size_t count, bool onDevice) {
    return onDevice ? insideBlockOf(MemoryKind::Device, ptr, count)
                    : !touchesDeviceMemory(ptr, count);
}

cudaError_t copy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    if (count == 0)
        return cudaSuccess;
    if (dst == nullptr || src == nullptr || kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault)
        return setError(cudaErrorInvalidValue);
    if (kind != cudaMemcpyDefault) {
        const bool srcOnDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
        const bool dstOnDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
        if (!sideMatches(src, count, srcOnDevice) || !sideMatches(dst, count, dstOnDevice))
            return setError(cudaErrorInvalidValue);
    }
    std::memmove(dst, src, count);
    return cudaSuccess;
}

}  // namespace

extern "C" {

cudaError_t cudaMalloc(void** devPtr, size_t size) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaMalloc");
    return allocateInto(devPtr, size, MemoryKind::Device);
}

cudaError_t cudaFree(void* devPtr) {
    return releaseBlock(devPtr, MemoryKind::Device);
}

cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaHostAlloc");
    return allocateInto(pHost, size, MemoryKind::PinnedHost);
}

cudaError_t cudaFreeHost(void* ptr) {
    return releaseBlock(ptr, MemoryKind::PinnedHost);
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
    if (count == 0)
        return cudaSuccess;
    if (!deviceAddressable(devPtr, count))
        return setError(cudaErrorInvalidValue);
    std::memset(devPtr, value, count);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    return copy(dst, src, count, kind);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream) {
    if (!streamValid(stream))
        return setError(cudaErrorInvalidResourceHandle);
    return copy(dst, src, count, kind);
}

cudaError_t cudaStreamCreate(cudaStream_t* pStream) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaStreamCreate");
    return createHandle(pStream, liveStreams());
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    // The default stream (null) is never live, so it is refused too.
    return destroyHandle(stream, liveStreams());
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    return streamValid(stream) ? cudaSuccess : setError(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags) {
    // Work queued earlier has already run, so the wait is satisfied at once.
    if (!streamValid(stream) || !eventValid(event))
        return setError(cudaErrorInvalidResourceHandle);
    return flags == 0 ? cudaSuccess : setError(cudaErrorInvalidValue);
}

cudaError_t cudaEventCreate(cudaEvent_t* event) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaEventCreate");
    return createHandle(event, liveEvents());
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    return destroyHandle(event, liveEvents());
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    if (!streamValid(stream) || !eventValid(event))
        return setError(cudaErrorInvalidResourceHandle);
    event->recorded = true;
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    return eventValid(event) ? cudaSuccess : setError(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaDeviceSynchronize(void) {
    return cudaSuccess;
}

cudaError_t cudaGetLastError(void) {
    return takeLastError(true);
}
cudaError_t cudaPeekAtLastError(void) {
    return takeLastError(false);
}

const char* cudaGetErrorName(cudaError_t error) {
    switch (error) {
#define CAMFX_NAME(value) \
    case value:           \
        return #value;
        CAMFX_NAME(cudaSuccess)
        CAMFX_NAME(cudaErrorInvalidValue)
        CAMFX_NAME(cudaErrorMemoryAllocation)
        CAMFX_NAME(cudaErrorInvalidConfiguration)
        CAMFX_NAME(cudaErrorNoDevice)
        CAMFX_NAME(cudaErrorAlreadyMapped)
        CAMFX_NAME(cudaErrorNotMapped)
        CAMFX_NAME(cudaErrorInvalidGraphicsContext)
        CAMFX_NAME(cudaErrorInvalidResourceHandle)
        CAMFX_NAME(cudaErrorIllegalAddress)
        CAMFX_NAME(cudaErrorLaunchFailure)
        CAMFX_NAME(cudaErrorNotSupported)
        CAMFX_NAME(cudaErrorUnknown)
#undef CAMFX_NAME
    }
    return "unrecognized error code";
}

}  // extern "C"
