#include "display.h"

#include <algorithm>
#include <cstdint>

#include "frame.h"
#include "windows_shim.h"

const char* vertexShaderSource =
    "#version 330 core\n"
    "layout(location = 0) in vec2 aPos;\n"
    "layout(location = 1) in vec2 aTex;\n"
    "out vec2 TexCoord;\n"
    "void main() {\n"
    "    TexCoord = aTex;\n"
    "    gl_Position = vec4(aPos, 0.0, 1.0);\n"
    "}";

const char* fragmentShaderSource =
    "#version 330 core\n"
    "in vec2 TexCoord;\n"
    "out vec4 FragColor;\n"
    "uniform sampler2D uTexture;\n"
    "void main() {\n"
    "    FragColor = texture(uTexture, TexCoord);\n"
    "}";

// Two triangles over the window; v = 0 is the bottom edge, so texture row 0 shows at the
// bottom and the blit writes the camera's top row into the last texture row.
const float quadVertices[24] = {
    -1.0f, -1.0f, 0.0f, 0.0f,  //
    1.0f,  -1.0f, 1.0f, 0.0f,  //
    1.0f,  1.0f,  1.0f, 1.0f,  //
    -1.0f, -1.0f, 0.0f, 0.0f,  //
    1.0f,  1.0f,  1.0f, 1.0f,  //
    -1.0f, 1.0f,  0.0f, 1.0f,
};

namespace {

constexpr GLsizei kInfoLogBytes = 1024;

void reportShaderError(GLuint shader, const char* caption) {
    GLint compiled = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
    if (compiled)
        return;
    char log[kInfoLogBytes] = {};
    glGetShaderInfoLog(shader, kInfoLogBytes, nullptr, log);
    MessageBoxA(nullptr, log, caption, MB_OK | MB_ICONERROR);
}

}  // namespace

ShaderProgram::ShaderProgram(const char* vertexSource, const char* fragmentSource) {
    GLuint vertexShader = glCreateShader(GL_VERTEX_SHADER);
    GLuint fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    glShaderSource(vertexShader, 1, &vertexSource, nullptr);
    glShaderSource(fragmentShader, 1, &fragmentSource, nullptr);

    glCompileShader(vertexShader);
    reportShaderError(vertexShader, "Vertex Shader Compilation Error");
    glCompileShader(fragmentShader);
    reportShaderError(fragmentShader, "Fragment Shader Compilation Error");

    programId = glCreateProgram();
    glAttachShader(programId, vertexShader);
    glAttachShader(programId, fragmentShader);
    glLinkProgram(programId);
    GLint linked = GL_FALSE;
    glGetProgramiv(programId, GL_LINK_STATUS, &linked);
    if (!linked) {
        char log[kInfoLogBytes] = {};
        glGetProgramInfoLog(programId, kInfoLogBytes, nullptr, log);
        MessageBoxA(nullptr, log, "Shader Program Linking Error", MB_OK | MB_ICONERROR);
    }

    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);
}

void ShaderProgram::use() const {
    glUseProgram(programId);
}

void buildQuad(GLuint* quadVao, GLuint* quadVbo) {
    glGenVertexArrays(1, quadVao);
    glGenBuffers(1, quadVbo);
    glBindVertexArray(*quadVao);
    glBindBuffer(GL_ARRAY_BUFFER, *quadVbo);
    glBufferData(GL_ARRAY_BUFFER, sizeof quadVertices, quadVertices, GL_STATIC_DRAW);
    constexpr GLsizei kStride = 4 * sizeof(float);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, kStride, reinterpret_cast<void*>(0));
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, kStride,
                          reinterpret_cast<void*>(2 * sizeof(float)));
    glEnableVertexAttribArray(1);
    glBindVertexArray(0);
}

void createDisplayTexture(GLuint* displayTexture) {
    glGenTextures(1, displayTexture);
    glBindTexture(GL_TEXTURE_2D, *displayTexture);
    // Four 8-bit channels: CUDA has no view of three-channel textures, and the blit writes
    // red, green, blue and alpha.
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, FRAME_WIDTH, FRAME_HEIGHT, 0, GL_RGBA,
                 GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_BORDER);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_BORDER);
    glBindTexture(GL_TEXTURE_2D, 0);
}

Viewport letterbox(int framebufferWidth, int framebufferHeight, int pictureWidth,
                   int pictureHeight) {
    if (framebufferWidth <= 0 || framebufferHeight <= 0 || pictureWidth <= 0 || pictureHeight <= 0)
        return Viewport{0, 0, std::max(framebufferWidth, 0), std::max(framebufferHeight, 0)};
    // In whole pixels, products in 64 bits: which side is bound is decided exactly.
    const int64_t wide = int64_t(framebufferWidth) * pictureHeight;
    const int64_t tall = int64_t(framebufferHeight) * pictureWidth;
    Viewport viewport{0, 0, framebufferWidth, framebufferHeight};
    if (wide > tall)
        viewport.width = int((tall + pictureHeight / 2) / pictureHeight);
    else if (tall > wide)
        viewport.height = int((wide + pictureWidth / 2) / pictureWidth);
    viewport.x = (framebufferWidth - viewport.width) / 2;
    viewport.y = (framebufferHeight - viewport.height) / 2;
    return viewport;
}

void drawFrame(const ShaderProgram& program, GLuint quadVao, GLuint displayTexture,
               const Viewport& viewport, int framebufferWidth, int framebufferHeight) {
    if (viewport.width != framebufferWidth || viewport.height != framebufferHeight) {
        glViewport(0, 0, framebufferWidth, framebufferHeight);
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    glViewport(viewport.x, viewport.y, viewport.width, viewport.height);
    program.use();
    glBindVertexArray(quadVao);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, displayTexture);
    glDrawArrays(GL_TRIANGLES, 0, 6);
}
