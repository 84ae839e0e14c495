// Host-flavor stand-in for CUDA's OpenGL interoperability. Registration remembers the
// texture; each mapping exposes a four-channel 8-bit array, not always the same one;
// unmapping uploads that array into the texture on the calling thread, whose GL context must
// be current.
#pragma once

#include "cuda_runtime.h"

extern "C" {

enum cudaGLDeviceList {
    cudaGLDeviceListAll = 1,
    cudaGLDeviceListCurrentFrame = 2,
    cudaGLDeviceListNextFrame = 3
};

// The CUDA devices that run the current GL context: none (cudaErrorNoDevice) when the
// environment variable CAMFX_STANDIN_GL_INTEROP is "none".
cudaError_t cudaGLGetDevices(unsigned int* pCudaDeviceCount, int* pCudaDevices,
                             unsigned int cudaDeviceCount, enum cudaGLDeviceList deviceList);

// Refused with cudaErrorInvalidGraphicsContext when CAMFX_STANDIN_GL_INTEROP is "none" or
// "refuse". GLuint and GLenum are both 32-bit unsigned; spelled out so that this header
// does not depend on which GL loader the caller uses.
cudaError_t cudaGraphicsGLRegisterImage(struct cudaGraphicsResource** resource, unsigned int image,
                                        unsigned int target, unsigned int flags);

}  // extern "C"
