// The display under a real GL context: shader error reports, and the texture that CUDA writes
// through its registered surface and that GL then samples.
#include <glad/gl.h>

#include <GLFW/glfw3.h>
#include <cuda_gl_interop.h>
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cuda_host.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "captured_log.h"
#include "display.h"
#include "display_target.h"
#include "frame.h"
#include "launch.h"

namespace {

class Display : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (std::getenv("DISPLAY") == nullptr || !glfwInit())
            return;
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
        glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
        window = glfwCreateWindow(64, 64, "display test", nullptr, nullptr);
        if (window == nullptr)
            return;
        glfwMakeContextCurrent(window);
        loaded = gladLoadGL(glfwGetProcAddress) != 0;
    }
    static void TearDownTestSuite() {
        if (window != nullptr)
            glfwDestroyWindow(window);
        glfwTerminate();
    }
    void SetUp() override {
        if (!loaded)
            GTEST_SKIP() << "needs an X display with OpenGL 3.3";
    }

    static GLFWwindow* window;
    static bool loaded;
};
GLFWwindow* Display::window = nullptr;

bool Display::loaded = false;

GLuint smallTexture(GLint internalFormat, GLenum format) {
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, internalFormat, 16, 16, 0, format, GL_UNSIGNED_BYTE, nullptr);
    return texture;
}

// Registers the texture for writing, without the surface load/store flag the display adds.
cudaError_t registerWriteDiscard(GLuint texture, cudaGraphicsResource_t* resource) {
    return cudaGraphicsGLRegisterImage(resource, texture, GL_TEXTURE_2D,
                                       cudaGraphicsRegisterFlagsWriteDiscard);
}

// Full screen: the picture's shape is kept on any screen, centred between bars.
TEST(Letterbox, ThePictureKeepsItsShapeCentredOnAnyScreen) {
    struct Case {
        int width, height;
        Viewport expected;
    };
    for (const Case& c :
         {Case{1280, 720, {0, 0, 1280, 720}}, Case{1920, 1080, {0, 0, 1920, 1080}},
          Case{1920, 1200, {0, 60, 1920, 1080}}, Case{1280, 1024, {0, 152, 1280, 720}},
          Case{3440, 1440, {440, 0, 2560, 1440}}, Case{1366, 768, {0, 0, 1365, 768}},
          Case{0, 0, {0, 0, 0, 0}}}) {
        const Viewport v = letterbox(c.width, c.height, FRAME_WIDTH, FRAME_HEIGHT);
        EXPECT_EQ(
            std::vector<int>({v.x, v.y, v.width, v.height}),
            std::vector<int>({c.expected.x, c.expected.y, c.expected.width, c.expected.height}))
            << c.width << "x" << c.height;
    }
}

TEST_F(Display, TheProgramBuildsWithoutReports) {
    testing::internal::CaptureStderr();
    ShaderProgram program(vertexShaderSource, fragmentShaderSource);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    GLint linked = GL_FALSE;
    glGetProgramiv(program.programId, GL_LINK_STATUS, &linked);
    EXPECT_EQ(linked, GL_TRUE);
}

TEST_F(Display, ABrokenShaderReportsItsCompileErrorThenTheLinkErrorAndGoesOn) {
    testing::internal::CaptureStderr();
    ShaderProgram program("#version 330 core\nvoid main() { undefined_call(); }",
                          fragmentShaderSource);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(err.rfind("Vertex Shader Compilation Error\n", 0), 0u) << err;
    const size_t link = err.find("Shader Program Linking Error\n");
    EXPECT_NE(link, std::string::npos) << err;
    EXPECT_EQ(err.find("Fragment Shader Compilation Error"), std::string::npos);
    EXPECT_NE(program.programId, 0u);
}

TEST_F(Display, ALongInfoLogIsCutAt1023Characters) {
    std::string source = "#version 330 core\nvoid main() {\n";
    for (int i = 0; i < 200; ++i)
        source += "  undefined_" + std::to_string(i) + " = 1;\n";
    source += "}";
    testing::internal::CaptureStderr();
    ShaderProgram program(vertexShaderSource, source.c_str());
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string caption = "Fragment Shader Compilation Error\n";
    ASSERT_EQ(err.rfind(caption, 0), 0u) << err.substr(0, 200);
    // The log is cut to 1023 characters, then the report's own newline follows.
    EXPECT_EQ(err[caption.size() + 1023], '\n');
    EXPECT_EQ(err.find("Shader Program Linking Error\n"), caption.size() + 1024);
}

TEST_F(Display, AThreeChannelTextureHasNoCudaView) {
    GLuint texture = smallTexture(GL_RGB, GL_RGB);
    cudaGraphicsResource_t resource = nullptr;
    EXPECT_EQ(registerWriteDiscard(texture, &resource), cudaErrorInvalidValue);
    cudaGetLastError();
    glDeleteTextures(1, &texture);
}

TEST_F(Display, ASurfaceNeedsTheLoadStoreRegistration) {
    GLuint texture = smallTexture(GL_RGBA8, GL_RGBA);
    cudaGraphicsResource_t resource = nullptr;
    ASSERT_EQ(registerWriteDiscard(texture, &resource), cudaSuccess);
    ASSERT_EQ(cudaGraphicsMapResources(1, &resource, nullptr), cudaSuccess);
    cudaArray_t array = nullptr;
    ASSERT_EQ(cudaGraphicsSubResourceGetMappedArray(&array, resource, 0, 0), cudaSuccess);
    cudaResourceDesc description{};
    description.resType = cudaResourceTypeArray;
    description.res.array.array = array;
    cudaSurfaceObject_t surface = 0;
    EXPECT_EQ(cudaCreateSurfaceObject(&surface, &description), cudaErrorInvalidValue);
    cudaGetLastError();
    cudaGraphicsUnmapResources(1, &resource, nullptr);
    cudaGraphicsUnregisterResource(resource);
    glDeleteTextures(1, &texture);
}

// Blits a frame whose top-left pixel is blue `blue`, green 20, red 30 through `target` and
// returns the texture's texels, bottom row first as GL keeps them.
std::vector<uint8_t> showFrame(DisplayTarget& target, GLuint texture, uint8_t* device,
                               uint8_t blue = 10) {
    std::vector<uint8_t> frame(FRAME_BYTES, 0);
    frame[0] = blue, frame[1] = 20, frame[2] = 30;
    cudaMemcpy(device, frame.data(), FRAME_BYTES, cudaMemcpyHostToDevice);
    launchBlitGl(dim3(80, 45, 1), dim3(16, 16, 1), nullptr, device, target.beginFrame(nullptr),
                 FRAME_WIDTH, FRAME_HEIGHT);
    target.endFrame(nullptr);
    std::vector<uint8_t> texels(static_cast<size_t>(FRAME_WIDTH) * FRAME_HEIGHT * 4);
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
    return texels;
}

void expectUprightFrame(const std::vector<uint8_t>& texels, uint8_t blue = 10) {
    const size_t topRow = static_cast<size_t>(FRAME_HEIGHT - 1) * FRAME_WIDTH * 4;
    EXPECT_EQ(texels[topRow + 0], 30);
    EXPECT_EQ(texels[topRow + 1], 20);
    EXPECT_EQ(texels[topRow + 2], blue);
    EXPECT_EQ(texels[topRow + 3], 255);
    EXPECT_EQ(texels[3], 255);
    EXPECT_EQ(texels[0], 0);
}

// The display's texture, a frame buffer, and the log lines the target writes.
class DisplayPath : public Display {
  protected:
    void SetUp() override {
        Display::SetUp();
        if (IsSkipped())
            return;
        createDisplayTexture(&texture);
        cudaMalloc(reinterpret_cast<void**>(&device), FRAME_BYTES);
        cuInit(0);
        ASSERT_EQ(cuCtxCreate(&context, nullptr, 0, 0), CUDA_SUCCESS);
    }
    void TearDown() override {
        cudahost::clearDriverFailures();
        unsetenv("CAMFX_STANDIN_GL_INTEROP");
        if (context != nullptr)
            cuCtxDestroy(context);
        cudaFree(device);
        glDeleteTextures(1, &texture);
    }
    std::unique_ptr<DisplayTarget> makeTarget() {
        return std::make_unique<DisplayTarget>(texture, FRAME_WIDTH, FRAME_HEIGHT, 0,
                                               findGlDevice(), nullptr);
    }

    GLuint texture = 0;
    uint8_t* device = nullptr;
    CUcontext context = nullptr;
    CapturedLog log;
};

TEST_F(DisplayPath, InteropWritesEachMappingsOwnArrayUpright) {
    std::unique_ptr<DisplayTarget> target = makeTarget();
    EXPECT_FALSE(target->throughHost());
    EXPECT_EQ(log.count("Display: CUDA-GL interop on camfx host stand-in"), 1) << log.text();
    // Every mapping hands out another array; each frame must reach the texture all the same.
    for (uint8_t blue = 10; blue < 13; ++blue)
        expectUprightFrame(showFrame(*target, texture, device, blue), blue);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(DisplayPath, WithoutInteropTheSamePictureComesThroughHostMemory) {
    const std::pair<const char*, const char*> cases[] = {
        {"none", "the GL context runs on "},
        {"refuse",
         "CUDA cannot write the GL texture (cudaGraphicsGLRegisterImage -> "
         "cudaErrorInvalidGraphicsContext)"}};
    for (const auto& [setting, reason] : cases) {
        setenv("CAMFX_STANDIN_GL_INTEROP", setting, 1);
        CapturedLog lines;
        std::unique_ptr<DisplayTarget> target = makeTarget();
        EXPECT_TRUE(target->throughHost()) << setting;
        expectUprightFrame(showFrame(*target, texture, device));
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
        EXPECT_EQ(lines.count(std::string("Display: through host memory, ") + reason), 1)
            << lines.text();
    }
}

TEST_F(DisplayPath, AMappingThatFailsMidRunSwitchesToHostMemoryOnce) {
    std::unique_ptr<DisplayTarget> target = makeTarget();
    expectUprightFrame(showFrame(*target, texture, device));
    cudahost::failRuntimeCall("cudaGraphicsMapResources", cudaErrorUnknown);
    expectUprightFrame(showFrame(*target, texture, device));
    expectUprightFrame(showFrame(*target, texture, device));
    EXPECT_TRUE(target->throughHost());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the handled failure is not the frame's";
    EXPECT_EQ(log.count("[WARN ]"), 1) << log.text();
    EXPECT_EQ(log.count("cudaGraphicsMapResources -> cudaErrorUnknown"), 1) << log.text();
}

}  // namespace
