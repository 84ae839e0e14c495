// What the host flavor adds to the CUDA stand-in for the host launch functions of
// kernels/ and for tests. Not part of the CUDA API: never include it from application code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "cuda_runtime.h"

namespace cudahost {

// The runtime refuses a launch with a zero dimension or more than 1024 threads a block;
// such a launch runs nothing and leaves cudaErrorInvalidConfiguration as the last error.
bool launchConfigValid(dim3 grid, dim3 block);

// Queues work on a stream. Streams run their work in issue order; here it runs at once.
void enqueue(cudaStream_t stream, const std::function<void()>& work);

// Leaves a sticky error for cudaGetLastError, as a failed kernel does on the GPU.
void setLastError(cudaError_t error);

// The pixels a launch covers: columns [0, x) and rows [0, y) of the grid, clipped by
// the kernel itself to its frame.
inline unsigned long long coveredColumns(dim3 grid, dim3 block) {
    return static_cast<unsigned long long>(grid.x) * block.x;
}
inline unsigned long long coveredRows(dim3 grid, dim3 block) {
    return static_cast<unsigned long long>(grid.y) * block.y;
}

// The array behind a surface object: width x height texels of 4 bytes, rows of pitch
// bytes. Returns false for an unknown or destroyed surface.
struct SurfaceView {
    uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    size_t pitch = 0;
};
bool surfaceView(cudaSurfaceObject_t surface, SurfaceView* view);

// Test hook: the next `count` calls of the named driver function (for example
// "cuCtxCreate") fail with `result` and do nothing else.
void failDriverCall(const std::string& function, CUresult result, int count = 1);
// The same for a runtime function ("cudaGraphicsMapResources", ...), after `after` calls
// that succeed. "cudaLaunchKernel" stands for every kernel launch: a failing one runs
// nothing and leaves its error for cudaGetLastError, as a kernel that faults does.
void failRuntimeCall(const std::string& function, cudaError_t error, int count = 1, int after = 0);
// Forgets the pending failures of both kinds.
void clearDriverFailures();

// Test hook: number of bytes currently allocated through the memory functions.
size_t liveAllocationBytes();

}  // namespace cudahost

namespace cudahost {

// Test hook: a surface object over a new zero-filled array of width x height 4-byte texels
// registered for load/store, as a mapped GL texture gives one. destroyTestSurface
// destroys the surface and frees its array.
cudaSurfaceObject_t createTestSurface(int width, int height);
void destroyTestSurface(cudaSurfaceObject_t surface);

}  // namespace cudahost
