// Private to the CUDA stand-in: the bookkeeping its driver, runtime and interop halves share.
#pragma once

#ifndef CAMFX_CUDA_STANDIN_INTERNAL
#error "state.h is private to the CUDA stand-in"
#endif

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "cuda.h"
#include "cuda_runtime.h"

struct CUctx_st {
    CUdevice device = 0;
};
struct CUstream_st {
    int unused = 0;
};
struct CUevent_st {
    bool recorded = false;
};
struct cudaArray {
    std::vector<uint8_t> texels;  // width x height texels of 4 bytes, rows of pitch bytes
    int width = 0;
    int height = 0;
    size_t pitch = 0;
    bool surfaceLoadStore = false;
    // The array of a registered texture exists only while its resource is mapped: a surface
    // kept from an earlier mapping writes nowhere, as on the GPU.
    bool accessible = true;
};

namespace cudahost::detail {

std::mutex& registryMutex();

// The live handles of one kind (contexts, streams, events), under the registry mutex: a
// handle is valid from its creation until it is destroyed, and only once.
template <typename Handle>
class LiveHandles {
  public:
    void add(Handle handle) {
        std::lock_guard<std::mutex> lock(registryMutex());
        handles_.insert(handle);
    }
    // False when the handle was not live.
    bool remove(Handle handle) {
        std::lock_guard<std::mutex> lock(registryMutex());
        return handles_.erase(handle) != 0;
    }
    bool contains(Handle handle) const {
        std::lock_guard<std::mutex> lock(registryMutex());
        return handles_.count(handle) != 0;
    }

  private:
    std::set<Handle> handles_;
};

// A pending failure for the named driver or runtime function (a CUresult or a cudaError_t),
// consumed by this call.
std::optional<int> takeFailure(const char* function);

bool driverInitialized();
CUcontext currentContext();

enum class MemoryKind { Device, PinnedHost };
void* allocate(size_t bytes, MemoryKind kind);
// Frees a block from allocate(); false when ptr is not the start of one of that kind.
bool release(void* ptr, MemoryKind kind);
// True when [ptr, ptr + bytes) lies inside one live block, device or pinned host.
bool deviceAddressable(const void* ptr, size_t bytes);
// True when [ptr, ptr + bytes) lies inside one live block of `kind`.
bool insideBlockOf(MemoryKind kind, const void* ptr, size_t bytes);
// True when any byte of [ptr, ptr + bytes) lies in device memory.
bool touchesDeviceMemory(const void* ptr, size_t bytes);

bool streamValid(cudaStream_t stream);

// Returns from a runtime function with its injected failure, if one is due.
#define CAMFX_INJECTED_RUNTIME_FAILURE(name)                  \
    if (auto failure = ::cudahost::detail::takeFailure(name)) \
    return ::cudahost::detail::setError(static_cast<cudaError_t>(*failure))
cudaError_t setError(cudaError_t error);
cudaError_t takeLastError(bool reset);

}  // namespace cudahost::detail
