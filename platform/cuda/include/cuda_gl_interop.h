// Host-flavor stand-in for CUDA's OpenGL interoperability. Registration remembers the
// texture; mapping exposes a four-channel 8-bit array; unmapping uploads that array into
// the texture on the calling thread, whose GL context must be current.
#pragma once

#include "cuda_runtime.h"

extern "C" {

// GLuint and GLenum are both 32-bit unsigned; spelled out so that this header does not
// depend on which GL loader the caller uses.
cudaError_t cudaGraphicsGLRegisterImage(struct cudaGraphicsResource** resource, unsigned int image,
                                        unsigned int target, unsigned int flags);

}  // extern "C"
