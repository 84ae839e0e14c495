// Process-wide state through which the main thread, the input thread and the encoding
// thread meet. No locks: one-byte flags and counters are atomics, each with one writer.
#pragma once

#include <cuda.h>
#include <cuda_runtime.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "frame_ring.h"

struct GLFWwindow;

struct LaunchGeometryT {
    dim3 grid;
    dim3 block;
};

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
