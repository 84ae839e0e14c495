// The window's picture: a full-window quad drawing one texture, which the blit fills.
#pragma once

#include <glad/gl.h>

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

// Start-up pieces, in the order start-up calls them. CUDA reaches the texture through a
// DisplayTarget (display_target.h).
void buildQuad(GLuint* quadVao, GLuint* quadVbo);
void createDisplayTexture(GLuint* displayTexture);

// Per frame, after the texture has been unmapped.
void drawFrame(const ShaderProgram& program, GLuint quadVao, GLuint displayTexture);
