// The host CUDA stand-in must refuse what the real platform refuses, or faults in the
// application would pass here and fail on a GPU.
#include <cuda.h>
#include <cuda_host.h>
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "host_copy.h"

namespace {

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cudahost::clearDriverFailures();
        ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
        ASSERT_EQ(cuCtxCreate(&context, nullptr, 0, 0), CUDA_SUCCESS);
    }
    void TearDown() override {
        cudahost::clearDriverFailures();
        EXPECT_EQ(cuCtxDestroy(context), CUDA_SUCCESS);
    }
    CUcontext context = nullptr;
};

TEST(DriverErrorNames, KnownResultsHaveTheirSymbolicNames) {
    const char* name = nullptr;
    ASSERT_EQ(cuGetErrorName(CUDA_ERROR_OUT_OF_MEMORY, &name), CUDA_SUCCESS);
    EXPECT_STREQ(name, "CUDA_ERROR_OUT_OF_MEMORY");
    ASSERT_EQ(cuGetErrorName(CUDA_ERROR_INVALID_CONTEXT, &name), CUDA_SUCCESS);
    EXPECT_STREQ(name, "CUDA_ERROR_INVALID_CONTEXT");
}

TEST(DriverErrorNames, UnknownResultGivesNullName) {
    const char* name = "unchanged";
    EXPECT_EQ(cuGetErrorName(static_cast<CUresult>(12345), &name), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(name, nullptr);
}

TEST_F(DriverTest, DeviceOrdinalOtherThanZeroIsRefused) {
    CUdevice device = -1;
    EXPECT_EQ(cuDeviceGet(&device, 1), CUDA_ERROR_INVALID_DEVICE);
    EXPECT_EQ(cuDeviceGet(&device, 0), CUDA_SUCCESS);
    EXPECT_EQ(device, 0);
}

TEST_F(DriverTest, ContextStackIsPerThread) {
    CUcontext current = nullptr;
    ASSERT_EQ(cuCtxGetCurrent(&current), CUDA_SUCCESS);
    EXPECT_EQ(current, context);

    std::thread other([&] {
        CUcontext seen = context;
        EXPECT_EQ(cuCtxGetCurrent(&seen), CUDA_SUCCESS);
        EXPECT_EQ(seen, nullptr);
        CUdeviceptr ptr = 0;
        EXPECT_EQ(cuMemAlloc(&ptr, 16), CUDA_ERROR_INVALID_CONTEXT);
        EXPECT_EQ(cuCtxPopCurrent(nullptr), CUDA_ERROR_INVALID_CONTEXT);
        ASSERT_EQ(cuCtxPushCurrent(context), CUDA_SUCCESS);
        EXPECT_EQ(cuMemAlloc(&ptr, 16), CUDA_SUCCESS);
        EXPECT_EQ(cuMemFree(ptr), CUDA_SUCCESS);
        CUcontext popped = nullptr;
        EXPECT_EQ(cuCtxPopCurrent(&popped), CUDA_SUCCESS);
        EXPECT_EQ(popped, context);
    });
    other.join();

    ASSERT_EQ(cuCtxGetCurrent(&current), CUDA_SUCCESS);
    EXPECT_EQ(current, context);
    EXPECT_EQ(cuCtxPushCurrent(nullptr), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(DriverTest, PitchedAllocationPadsRowsAndChecksElementSize) {
    CUdeviceptr ptr = 0;
    size_t pitch = 0;
    EXPECT_EQ(cuMemAllocPitch(&ptr, &pitch, 1280, 1080, 3), CUDA_ERROR_INVALID_VALUE);
    ASSERT_EQ(cuMemAllocPitch(&ptr, &pitch, 1281, 10, 16), CUDA_SUCCESS);
    EXPECT_GE(pitch, 1281u);
    EXPECT_EQ(pitch % 512, 0u);
    EXPECT_EQ(cuMemFree(ptr), CUDA_SUCCESS);
    EXPECT_EQ(cuMemFree(ptr), CUDA_ERROR_INVALID_VALUE) << "double free must be refused";
}

TEST_F(DriverTest, Copy2DMovesRowsBetweenPitches) {
    CUdeviceptr device = 0;
    size_t pitch = 0;
    ASSERT_EQ(cuMemAllocPitch(&device, &pitch, 5, 3, 4), CUDA_SUCCESS);
    std::vector<uint8_t> source(7 * 3);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<uint8_t>(i);

    CUDA_MEMCPY2D up = HostToDevice(source.data(), 7, device, pitch, 5, 3);
    ASSERT_EQ(cuMemcpy2D(&up), CUDA_SUCCESS);

    std::vector<uint8_t> back(5 * 3, 0xEE);
    CUDA_MEMCPY2D down{};
    down.srcMemoryType = CU_MEMORYTYPE_DEVICE;
    down.srcDevice = device;
    down.srcPitch = pitch;
    down.dstMemoryType = CU_MEMORYTYPE_HOST;
    down.dstHost = back.data();
    down.dstPitch = 5;
    down.WidthInBytes = 5;
    down.Height = 3;
    ASSERT_EQ(cuMemcpy2DAsync(&down, nullptr), CUDA_SUCCESS);
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 5; ++col)
            EXPECT_EQ(back[row * 5 + col], source[row * 7 + col]);
    cuMemFree(device);
}

TEST_F(DriverTest, Copy2DRefusesRangesOutsideAllocationsAndShortPitches) {
    CUdeviceptr device = 0;
    ASSERT_EQ(cuMemAlloc(&device, 100), CUDA_SUCCESS);
    std::vector<uint8_t> host(1000, 7);
    CUDA_MEMCPY2D copy = HostToDevice(host.data(), 10, device, 10, 10, 11);  // a row too many
    EXPECT_EQ(cuMemcpy2D(&copy), CUDA_ERROR_INVALID_VALUE);
    copy.Height = 10;
    copy.dstPitch = 9;
    EXPECT_EQ(cuMemcpy2D(&copy), CUDA_ERROR_INVALID_VALUE);
    copy.dstPitch = 10;
    copy.dstMemoryType = CU_MEMORYTYPE_ARRAY;
    EXPECT_EQ(cuMemcpy2D(&copy), CUDA_ERROR_INVALID_VALUE);
    copy.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    EXPECT_EQ(cuMemcpy2DUnaligned(&copy), CUDA_SUCCESS);
    cuMemFree(device);
}

TEST_F(DriverTest, InjectedFailureHitsOnlyTheNamedCallTheChosenNumberOfTimes) {
    cudahost::failDriverCall("cuMemAlloc", CUDA_ERROR_OUT_OF_MEMORY, 2);
    CUdeviceptr ptr = 0;
    EXPECT_EQ(cuMemAlloc(&ptr, 8), CUDA_ERROR_OUT_OF_MEMORY);
    size_t pitch = 0;
    ASSERT_EQ(cuMemAllocPitch(&ptr, &pitch, 8, 1, 4), CUDA_SUCCESS);
    cuMemFree(ptr);
    EXPECT_EQ(cuMemAlloc(&ptr, 8), CUDA_ERROR_OUT_OF_MEMORY);
    ASSERT_EQ(cuMemAlloc(&ptr, 8), CUDA_SUCCESS);
    cuMemFree(ptr);
}

TEST(Runtime, MemoryIsTrackedAndForeignPointersRefused) {
    const size_t before = cudahost::liveAllocationBytes();
    void* device = nullptr;
    void* pinned = nullptr;
    ASSERT_EQ(cudaMalloc(&device, 4096), cudaSuccess);
    ASSERT_EQ(cudaHostAlloc(&pinned, 4096, cudaHostAllocDefault), cudaSuccess);
    EXPECT_EQ(cudahost::liveAllocationBytes(), before + 8192);
    EXPECT_EQ(cudaFree(pinned), cudaErrorInvalidValue) << "pinned memory is freed by cudaFreeHost";
    int local = 0;
    EXPECT_EQ(cudaFree(&local), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "reading the last error resets it";
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
    EXPECT_EQ(cudaFree(device), cudaSuccess);
    EXPECT_EQ(cudahost::liveAllocationBytes(), before);
}

TEST(Runtime, AsyncCopiesRunInIssueOrderAndTheirKindsSayWhereEachSideIs) {
    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    uint8_t* staging = nullptr;
    uint8_t* device = nullptr;
    ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&staging), 64, 0), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&device), 64), cudaSuccess);
    std::vector<uint8_t> host(64, 42);
    std::copy(host.begin(), host.end(), staging);
    ASSERT_EQ(cudaMemcpyAsync(device, staging, 64, cudaMemcpyHostToDevice, stream), cudaSuccess);
    EXPECT_EQ(device[63], 42);
    EXPECT_EQ(cudaMemcpyAsync(device, staging, 65, cudaMemcpyHostToDevice, stream),
              cudaErrorInvalidValue);
    // Pinned memory is host memory: a kind that puts it on the device side works on a GPU
    // only through unified addressing.
    EXPECT_EQ(cudaMemcpyAsync(staging, host.data(), 64, cudaMemcpyHostToDevice, stream),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpyAsync(device, staging, 64, cudaMemcpyDeviceToDevice, stream),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpyAsync(host.data(), device + 8, 8, cudaMemcpyHostToHost, stream),
              cudaErrorInvalidValue)
        << "device memory on the host side";
    EXPECT_EQ(cudaMemcpyAsync(host.data(), device, 64, cudaMemcpyDeviceToDevice, stream),
              cudaErrorInvalidValue)
        << "pageable host memory is not device memory";
    EXPECT_EQ(cudaMemcpyAsync(staging, device, 64, cudaMemcpyDefault, stream), cudaSuccess);
    cudaFree(device);
    cudaFreeHost(staging);
    ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
    EXPECT_EQ(cudaMemcpyAsync(host.data(), host.data(), 1, cudaMemcpyHostToHost, stream),
              cudaErrorInvalidResourceHandle);
}

TEST(Runtime, EventsAndWaitsCheckTheirHandles) {
    cudaStream_t stream = nullptr;
    cudaEvent_t event = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&event), cudaSuccess);
    EXPECT_EQ(cudaStreamWaitEvent(stream, event, 0), cudaSuccess) << "never recorded: no wait";
    EXPECT_EQ(cudaEventRecord(event, stream), cudaSuccess);
    EXPECT_EQ(cudaStreamWaitEvent(nullptr, event, 0), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(event), cudaSuccess);
    EXPECT_EQ(cudaStreamWaitEvent(stream, event, 0), cudaErrorInvalidResourceHandle);
    cudaStreamDestroy(stream);
}

TEST(Launch, RefusedConfigurationsLeaveTheConfigurationError) {
    cudaGetLastError();
    EXPECT_TRUE(cudahost::launchConfigValid(dim3(80, 45, 1), dim3(16, 16, 1)));
    EXPECT_TRUE(cudahost::launchConfigValid(dim3(1, 1, 1), dim3(1024, 1, 1)));
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_FALSE(cudahost::launchConfigValid(dim3(80, 45, 1), dim3(32, 33, 1)));
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    EXPECT_FALSE(cudahost::launchConfigValid(dim3(0, 45, 1), dim3(16, 16, 1)));
    EXPECT_FALSE(cudahost::launchConfigValid(dim3(80, 45, 1), dim3(16, 0, 1)));
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidConfiguration);
    cudaGetLastError();
}

TEST(Launch, WorkOnAnUnknownStreamDoesNotRun) {
    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    int runs = 0;
    cudahost::enqueue(stream, [&] { ++runs; });
    cudahost::enqueue(nullptr, [&] { ++runs; });
    cudaStreamDestroy(stream);
    cudahost::enqueue(stream, [&] { ++runs; });
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
}

}  // namespace
