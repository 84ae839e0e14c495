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

// Where the picture goes in a framebuffer: all of it when the shapes agree (the window), else
// the largest rectangle of the picture's shape, centred, with bars beside or above and below.
struct Viewport {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};
Viewport letterbox(int framebufferWidth, int framebufferHeight, int pictureWidth,
                   int pictureHeight);

// Per frame, after the texture has been unmapped: the picture into `viewport` of a framebuffer
// of the given size, black around it.
void drawFrame(const ShaderProgram& program, GLuint quadVao, GLuint displayTexture,
               const Viewport& viewport, int framebufferWidth, int framebufferHeight);
