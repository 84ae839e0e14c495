// Process-wide state through which the main thread, the input thread and the encoding
// thread meet. No locks: one-byte flags and counters are atomics, each with one writer.
#pragma once

#include <cuda.h>
#include <cuda_runtime.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

struct GLFWwindow;
class NvEncoderCuda;
class OutputFile;

struct LaunchGeometryT {
    dim3 grid;
    dim3 block;
};

struct FrameSlot {
    uint8_t* buffer = nullptr;
    std::atomic<bool> empty{true};
};

constexpr int FRAME_RING_SLOTS = 4;

extern std::atomic<uint8_t> effectMask;
extern std::atomic<bool> running;
extern LaunchGeometryT LaunchGeometry;
extern std::atomic<bool> recording;
extern GLFWwindow* window;
extern CUcontext deviceContext;
extern cudaStream_t encodeStream;
extern CUdeviceptr nv12Frame;
extern std::atomic<int32_t> writeCount;
extern std::atomic<int32_t> readCount;
extern std::array<FrameSlot, FRAME_RING_SLOTS> FrameRing;
// Never destroyed: at exit another thread may still be using them.
extern OutputFile& outFile;
extern std::unique_ptr<NvEncoderCuda>& encoder;

// The ring slot of a count. The counts only grow and may wrap past INT32_MAX; the slot
// stays 0 to 3 because it is taken from the count's unsigned bits.
inline int ringSlot(int32_t count) {
    return static_cast<int>(static_cast<uint32_t>(count) % FRAME_RING_SLOTS);
}
