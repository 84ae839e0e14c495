// Start-up, frame loop and shut-down of the viewer.
#include <glad/gl.h>

#include <GLFW/glfw3.h>
#include <cuda.h>
#include <cuda_runtime.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

#include "NvCodecUtils.h"
#include "camera_mode.h"
#include "display.h"
#include "display_target.h"
#include "ending.h"
#include "frame.h"
#include "input_thread.h"
#include "launch.h"
#include "pipeline_state.h"
#include "recording.h"
#include "snapshot.h"
#include "sound_input.h"
#include "viewer.h"
#include "window_mode.h"

namespace {

// Main thread only: what the window's own keys asked for, and the framebuffer's size.
struct WindowState {
    WindowMode* mode = nullptr;
    // Presses of S not yet taken: two that come between two frames are two pictures.
    int snapshotsAsked = 0;
    int framebufferWidth = FRAME_WIDTH;
    int framebufferHeight = FRAME_HEIGHT;
};
WindowState windowState;

// F11, Esc and Q act on the window and S on the picture just shown, here on the main thread
// where GLFW's window calls belong; every other key goes to the input thread.
void onKey(GLFWwindow* keyWindow, int key, int scancode, int action, int mods) {
    if (action == GLFW_PRESS) {
        switch (key) {
            case GLFW_KEY_F11:
                windowState.mode->toggle();
                return;
            case GLFW_KEY_ESCAPE:
                windowState.mode->leaveFullScreen();
                return;
            case GLFW_KEY_Q:
                glfwSetWindowShouldClose(keyWindow, GLFW_TRUE);
                return;
            case GLFW_KEY_S:
                ++windowState.snapshotsAsked;
                return;
            default:
                break;
        }
    }
    queueKeyPress(keyWindow, key, scancode, action, mods);
}

void onFramebufferSize(GLFWwindow*, int width, int height) {
    windowState.framebufferWidth = width;
    windowState.framebufferHeight = height;
}

}  // namespace

int runViewer(cv::VideoCapture& camera, SoundInput* sound, const ViewerSettings& settings) {
    // 1. Camera.
    if (!camera.isOpened()) {
        std::fputs("Can't open camera!\n", stderr);
        return -1;
    }

    // 2.-6. Window, GL context and loader.
    installEndingHandlers();
#if GLFW_VERSION_MAJOR * 100 + GLFW_VERSION_MINOR >= 304
    // GLFW 3.4 would choose Wayland where it runs; the lost display is watched through Xlib,
    // and a missing display is told in X11's words.
    glfwInitHint(GLFW_PLATFORM, GLFW_PLATFORM_X11);
#endif
    glfwInit();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
    window = glfwCreateWindow(FRAME_WIDTH, FRAME_HEIGHT, "Camera", nullptr, nullptr);
    if (window == nullptr) {
        reportWindowFailure();
        camera.release();
        return -1;
    }
    glfwMakeContextCurrent(window);
    WindowMode windowMode(window);
    windowState.mode = &windowMode;
    glfwSetKeyCallback(window, onKey);
    glfwSetFramebufferSizeCallback(window, onFramebufferSize);
    glfwGetFramebufferSize(window, &windowState.framebufferWidth, &windowState.framebufferHeight);
    if (settings.fullScreen)
        windowMode.toggle();
    glfwSwapInterval(1);
    if (gladLoadGL(glfwGetProcAddress) == 0) {
        glfwTerminate();
        camera.release();
        return -2;
    }

    // 7. Quad.
    GLuint quadVao = 0, quadVbo = 0;
    buildQuad(&quadVao, &quadVbo);

    // 8. Ask the camera for its mode; frames of another size are converted later.
    requestCameraMode(camera);

    // 9. CUDA driver context, current on this thread from here on: on the GPU that runs the
    // GL context where one does, so that the display can be written through interop.
    const GlDevice glDevice = findGlDevice();
    CUdevice device = 0;
    ck(cuInit(0));
    ck(cuDeviceGet(&device, glDevice.ordinal >= 0 ? glDevice.ordinal : 0));
    ck(cuCtxCreate(&deviceContext, nullptr, 0, device));

    // 10. Recording set-up, over the state it shares with the frame loop, and the sound beside
    // it, which flows from here on.
    if (sound != nullptr) {
        const AudioCodecParameters& codec = sound->parameters();
        setSoundTrack(SoundTrack{codec.extradata, codec.sampleRate, codec.channels, codec.frameSize,
                                 codec.bitRate});
    }
    setupRecording(RecordingContext{deviceContext, nv12Frame, running, recording,
                                    RingHandOff{FrameRing, writeCount, readCount, encodeStream},
                                    LaunchGeometry.grid, LaunchGeometry.block,
                                    camera.get(cv::CAP_PROP_FPS)});
    if (sound != nullptr) {
        sound->start([](const AudioPacket& packet) {
            writeSoundPacket(packet.bytes.data(), packet.bytes.size(), packet.ptsMicroseconds,
                             packet.durationMicroseconds, packet.silentMicroseconds);
        });
    }

    // 11. Frame buffers.
    uint8_t* stagingFrame = nullptr;
    uint8_t* currentFrame = nullptr;
    uint8_t* nextFrame = nullptr;
    ckRuntime(
        cudaHostAlloc(reinterpret_cast<void**>(&stagingFrame), FRAME_BYTES, cudaHostAllocDefault));
    ckRuntime(cudaMalloc(reinterpret_cast<void**>(&currentFrame), FRAME_BYTES));
    ckRuntime(cudaMalloc(reinterpret_cast<void**>(&nextFrame), FRAME_BYTES));
    for (FrameSlot& slot : FrameRing)
        ckRuntime(cudaMalloc(reinterpret_cast<void**>(&slot.buffer), FRAME_BYTES));
    // A camera whose first read fails then shows black rather than leftover memory.
    ckRuntime(cudaMemset(currentFrame, 0, FRAME_BYTES));

    // 12.-13. Texture and the shader program.
    GLuint displayTexture = 0;
    createDisplayTexture(&displayTexture);
    ShaderProgram shaderProgram(vertexShaderSource, fragmentShaderSource);

    // 14. Default launch geometry: one thread per pixel.
    LaunchGeometry.block = dim3(16, 16, 1);
    LaunchGeometry.grid = dim3(80, 45, 1);

    // 15. Streams and events. The extra events keep the next upload from overwriting
    // currentFrame before the blit and the ring copy have read it, the draw from sampling
    // the texture before the blit has written it, and the camera's bytes from replacing
    // stagingFrame before the last upload has read it.
    cudaStream_t frameStream = nullptr, displayStream = nullptr;
    ckRuntime(cudaStreamCreate(&frameStream));
    ckRuntime(cudaStreamCreate(&displayStream));
    ckRuntime(cudaStreamCreate(&encodeStream));
    cudaEvent_t chainDoneEvent = nullptr, blitDoneEvent = nullptr, ringCopyDoneEvent = nullptr;
    cudaEvent_t uploadDoneEvent = nullptr;
    ckRuntime(cudaEventCreate(&chainDoneEvent));
    ckRuntime(cudaEventCreate(&blitDoneEvent));
    ckRuntime(cudaEventCreate(&ringCopyDoneEvent));
    ckRuntime(cudaEventCreate(&uploadDoneEvent));

    // 16. The way into the texture, mapped for the first frame where it is interop.
    std::optional<DisplayTarget> display;
    display.emplace(displayTexture, FRAME_WIDTH, FRAME_HEIGHT, device, glDevice, frameStream);

    // 17.-18. Camera frame and the worker threads.
    cv::Mat cameraFrame;
    cv::Mat convertedFrame;
    SnapshotWriter snapshots(settings.snapshotFolder);
    std::thread inputThread(inputThreadBody);
    std::thread encodeThread = startEncodeThread();
    endRecordingOnDisplayLoss(encodeThread);

    // 19. Frame loop.
    float spiralTime = 0.0f;
    float previousTime = 0.0f;
    int status = 0;
    while (!viewerShouldClose(window)) {
        const cudaSurfaceObject_t displaySurface = display->beginFrame(frameStream);

        const float now = static_cast<float>(glfwGetTime());
        spiralTime += (now - previousTime) * 10.0f;
        previousTime = now;

        // A camera whose frames need no conversion writes them straight into the pinned
        // staging buffer, once the last upload has read it; any other frame is copied there.
        // The device takes the frame from there, asynchronously.
        cudaEventSynchronize(uploadDoneEvent);
        cameraFrame = cv::Mat(FRAME_HEIGHT, FRAME_WIDTH, CV_8UC3, stagingFrame);
        camera >> cameraFrame;
        const int64_t captureTime = captureClockMicroseconds();
        const uint8_t* pixels = prepareCameraFrame(cameraFrame, convertedFrame);
        if (pixels != nullptr) {
            if (pixels != stagingFrame)
                std::memcpy(stagingFrame, pixels, FRAME_BYTES);
            cudaStreamWaitEvent(frameStream, ringCopyDoneEvent, 0);
            cudaMemcpyAsync(currentFrame, stagingFrame, FRAME_BYTES, cudaMemcpyHostToDevice,
                            frameStream);
            cudaEventRecord(uploadDoneEvent, frameStream);
            runEffectChain(currentFrame, nextFrame, frameStream, spiralTime);
        }

        cudaEventRecord(chainDoneEvent, frameStream);
        cudaStreamWaitEvent(displayStream, chainDoneEvent, 0);
        launchBlitGl(LaunchGeometry.grid, LaunchGeometry.block, displayStream, currentFrame,
                     displaySurface, FRAME_WIDTH, FRAME_HEIGHT);
        cudaEventRecord(blitDoneEvent, displayStream);
        cudaStreamWaitEvent(frameStream, blitDoneEvent, 0);
        display->endFrame(frameStream);

        drawFrame(shaderProgram, quadVao, displayTexture,
                  letterbox(windowState.framebufferWidth, windowState.framebufferHeight,
                            FRAME_WIDTH, FRAME_HEIGHT),
                  windowState.framebufferWidth, windowState.framebufferHeight);

        // A failed read brought no new frame: nothing new to record.
        if (pixels != nullptr)
            recordStep(currentFrame, captureTime, chainDoneEvent, ringCopyDoneEvent);

        // A failed launch or copy leaves the context unusable: say so once and end, rather
        // than show and record frames that are not there.
        if (const cudaError_t error = cudaGetLastError(); error != cudaSuccess) {
            reportFailedFrame(error);
            status = 1;
            break;
        }

        glfwPollEvents();
        if (windowState.snapshotsAsked > 0) {
            // The picture just drawn, before the next upload replaces it; only the copy waits
            // here, the PNG is made on the writer's thread. A further press takes the next one.
            --windowState.snapshotsAsked;
            cv::Mat shown(FRAME_HEIGHT, FRAME_WIDTH, CV_8UC3);
            cudaMemcpyAsync(shown.data, currentFrame, FRAME_BYTES, cudaMemcpyDeviceToHost,
                            frameStream);
            if (cudaStreamSynchronize(frameStream) == cudaSuccess)
                snapshots.save(std::move(shown));
        }
        applyRequestedTitle();
        glfwSwapBuffers(window);
    }

    // Shut-down. The sound's last packets go into the recording before its end, up to where
    // its pictures end.
    endOfFrames();
    if (sound != nullptr)
        sound->stop();
    endRecording(encodeThread);
    stopInputThread(inputThread);
    display.reset();
    for (FrameSlot& slot : FrameRing)
        cudaFree(slot.buffer);
    cudaFreeHost(stagingFrame);
    cudaFree(currentFrame);
    cudaFree(nextFrame);
    ck(cuCtxDestroy(deviceContext));
    camera.release();
    return status;
}
