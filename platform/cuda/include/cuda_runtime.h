// Host-flavor stand-in for the CUDA runtime API: only what camfx calls, with the
// runtime's own names, signatures and numeric values.
//
// Device memory is host memory. Work queued on a stream runs when it is queued, so
// every stream runs in issue order and an event is complete as soon as it is recorded.
#pragma once

#include <cstddef>

#include "cuda.h"

// Shared pixel formulas are written once as __host__ __device__ functions.
#ifndef __host__
#define __host__
#endif
#ifndef __device__
#define __device__
#endif

extern "C" {

typedef enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorNoDevice = 100,
    cudaErrorAlreadyMapped = 208,
    cudaErrorNotMapped = 211,
    cudaErrorInvalidGraphicsContext = 219,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
    cudaErrorUnknown = 999
} cudaError_t;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4
};

#define cudaHostAllocDefault 0x00

enum cudaGraphicsRegisterFlags {
    cudaGraphicsRegisterFlagsWriteDiscard = 2,
    cudaGraphicsRegisterFlagsSurfaceLoadStore = 4
};

enum cudaResourceType { cudaResourceTypeArray = 0x00 };

#define cudaArraySurfaceLoadStore 0x02

enum cudaChannelFormatKind {
    cudaChannelFormatKindSigned = 0,
    cudaChannelFormatKindUnsigned = 1,
    cudaChannelFormatKindFloat = 2
};

struct cudaChannelFormatDesc {
    int x, y, z, w;
    enum cudaChannelFormatKind f;
};

typedef struct CUstream_st* cudaStream_t;
typedef struct CUevent_st* cudaEvent_t;
typedef struct cudaArray* cudaArray_t;
typedef const struct cudaArray* cudaArray_const_t;
typedef struct cudaGraphicsResource* cudaGraphicsResource_t;
typedef unsigned long long cudaSurfaceObject_t;

struct cudaResourceDesc {
    enum cudaResourceType resType;
    union {
        struct {
            cudaArray_t array;
        } array;
        struct {
            void* devPtr;
            size_t sizeInBytes;
        } linear;
    } res;
};

}  // extern "C"

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
        : x(vx), y(vy), z(vz) {}
};

extern "C" {

cudaError_t cudaMalloc(void** devPtr, size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaMemset(void* devPtr, int value, size_t count);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind,
                            cudaStream_t stream);

cudaError_t cudaStreamCreate(cudaStream_t* pStream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags);
cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventDestroy(cudaEvent_t event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaDeviceSynchronize(void);

cudaError_t cudaGetLastError(void);
cudaError_t cudaPeekAtLastError(void);
const char* cudaGetErrorName(cudaError_t error);

cudaError_t cudaGraphicsMapResources(int count, cudaGraphicsResource_t* resources,
                                     cudaStream_t stream);
cudaError_t cudaGraphicsUnmapResources(int count, cudaGraphicsResource_t* resources,
                                       cudaStream_t stream);
cudaError_t cudaGraphicsSubResourceGetMappedArray(cudaArray_t* array,
                                                  cudaGraphicsResource_t resource,
                                                  unsigned int arrayIndex, unsigned int mipLevel);
cudaError_t cudaGraphicsUnregisterResource(cudaGraphicsResource_t resource);
cudaError_t cudaCreateSurfaceObject(cudaSurfaceObject_t* pSurfObject,
                                    const struct cudaResourceDesc* pResDesc);
cudaError_t cudaDestroySurfaceObject(cudaSurfaceObject_t surfObject);

struct cudaChannelFormatDesc cudaCreateChannelDesc(int x, int y, int z, int w,
                                                   enum cudaChannelFormatKind f);
// Only 2D arrays of four 8-bit unsigned channels, the texels of the display.
cudaError_t cudaMallocArray(cudaArray_t* array, const struct cudaChannelFormatDesc* desc,
                            size_t width, size_t height, unsigned int flags);
cudaError_t cudaFreeArray(cudaArray_t array);
cudaError_t cudaMemcpy2DFromArrayAsync(void* dst, size_t dpitch, cudaArray_const_t src,
                                       size_t wOffset, size_t hOffset, size_t width, size_t height,
                                       enum cudaMemcpyKind kind, cudaStream_t stream);

}  // extern "C"
