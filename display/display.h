// The window's picture: a full-window quad drawing one texture, which CUDA writes through a
// surface object over the texture's registered array.
#pragma once

#include <glad/gl.h>

#include <cuda_runtime.h>

extern const char* vertexShaderSource;
extern const char* fragmentShaderSource;
extern const float quadVertices[24];

class ShaderProgram {
  public:
    // Builds and links the program. A compile or link error is reported (caption and info
    // log) and the construction goes on, keeping whatever program name GL gave.
    ShaderProgram(const char* vertexSource, const char* fragmentSource);
    void use() const;

    GLuint programId = 0;
};

// Start-up pieces, in the order start-up calls them.
void buildQuad(GLuint* quadVao, GLuint* quadVbo);
void createDisplayTexture(GLuint* displayTexture, cudaGraphicsResource_t* displayResource);
// Maps the resource (left mapped for the first frame) and creates the surface over it.
void createDisplaySurface(cudaGraphicsResource_t displayResource, cudaStream_t stream,
                          cudaArray_t* displayArray, cudaSurfaceObject_t* displaySurface);

// Per frame, after the texture has been unmapped.
void drawFrame(const ShaderProgram& program, GLuint quadVao, GLuint displayTexture);
