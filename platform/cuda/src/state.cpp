#define CAMFX_CUDA_STANDIN_INTERNAL
#include "state.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "cuda_host.h"

namespace cudahost {
namespace detail {
namespace {

struct Block {
    size_t bytes;
    MemoryKind kind;
};

std::map<uintptr_t, Block>& blocks() {
    static std::map<uintptr_t, Block> live;
    return live;
}

// An injected failure: the named call succeeds `after` more times, then fails `count` times.
struct Failure {
    int result;
    int count;
    int after;
};

std::map<std::string, Failure>& failures() {
    static std::map<std::string, Failure> pending;
    return pending;
}

std::atomic<size_t> liveBytes{0};
thread_local cudaError_t lastError = cudaSuccess;

}  // namespace

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<int> takeFailure(const char* function) {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto it = failures().find(function);
    if (it == failures().end())
        return std::nullopt;
    Failure& failure = it->second;
    if (failure.after > 0) {
        --failure.after;
        return std::nullopt;
    }
    const int result = failure.result;
    if (--failure.count <= 0)
        failures().erase(it);
    return result;
}

void* allocate(size_t bytes, MemoryKind kind) {
    if (bytes == 0)
        return nullptr;
    // 256-byte alignment, as cudaMalloc guarantees; the size is rounded for aligned_alloc.
    constexpr size_t kAlignment = 256;
    void* ptr = std::aligned_alloc(kAlignment, (bytes + kAlignment - 1) / kAlignment * kAlignment);
    if (ptr == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(registryMutex());
    blocks()[reinterpret_cast<uintptr_t>(ptr)] = Block{bytes, kind};
    liveBytes += bytes;
    return ptr;
}

bool release(void* ptr, MemoryKind kind) {
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        auto it = blocks().find(reinterpret_cast<uintptr_t>(ptr));
        if (it == blocks().end() || it->second.kind != kind)
            return false;
        liveBytes -= it->second.bytes;
        blocks().erase(it);
    }
    std::free(ptr);
    return true;
}

namespace {

// The live block that holds [ptr, ptr + bytes) whole, or null.
const Block* blockHolding(const void* ptr, size_t bytes) {
    const auto begin = reinterpret_cast<uintptr_t>(ptr);
    auto it = blocks().upper_bound(begin);
    if (it == blocks().begin())
        return nullptr;
    --it;
    const uintptr_t blockBegin = it->first;
    const uintptr_t blockEnd = blockBegin + it->second.bytes;
    return begin >= blockBegin && begin <= blockEnd && bytes <= blockEnd - begin ? &it->second
                                                                                 : nullptr;
}

}  // namespace

bool deviceAddressable(const void* ptr, size_t bytes) {
    std::lock_guard<std::mutex> lock(registryMutex());
    return blockHolding(ptr, bytes) != nullptr;
}

bool insideBlockOf(MemoryKind kind, const void* ptr, size_t bytes) {
    std::lock_guard<std::mutex> lock(registryMutex());
    const Block* block = blockHolding(ptr, bytes);
    return block != nullptr && block->kind == kind;
}

bool touchesDeviceMemory(const void* ptr, size_t bytes) {
    const auto begin = reinterpret_cast<uintptr_t>(ptr);
    const uintptr_t end = begin + bytes;
    std::lock_guard<std::mutex> lock(registryMutex());
    // The last block starting before `end` is the only one that may overlap from below.
    for (auto it = blocks().lower_bound(end); it != blocks().begin();) {
        --it;
        if (it->first + it->second.bytes <= begin)
            return false;
        if (it->second.kind == MemoryKind::Device)
            return true;
    }
    return false;
}

cudaError_t setError(cudaError_t error) {
    if (error != cudaSuccess)
        lastError = error;
    return error;
}

cudaError_t takeLastError(bool reset) {
    cudaError_t error = lastError;
    if (reset)
        lastError = cudaSuccess;
    return error;
}

}  // namespace detail

void setLastError(cudaError_t error) {
    detail::setError(error);
}

void failDriverCall(const std::string& function, CUresult result, int count) {
    std::lock_guard<std::mutex> lock(detail::registryMutex());
    detail::failures()[function] = {result, count, 0};
}

void failRuntimeCall(const std::string& function, cudaError_t error, int count, int after) {
    std::lock_guard<std::mutex> lock(detail::registryMutex());
    detail::failures()[function] = {error, count, after};
}

void clearDriverFailures() {
    std::lock_guard<std::mutex> lock(detail::registryMutex());
    detail::failures().clear();
}

size_t liveAllocationBytes() {
    return detail::liveBytes.load();
}

}  // namespace cudahost
