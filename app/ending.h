// How a run ends besides the window's close button. SIGINT, SIGTERM and SIGHUP close the
// window as the button does, and a second one ends the process at once. A lost X display
// ends the process from inside Xlib once the recording is finished. A window that cannot be
// made is explained on standard error, and a closed standard output is no reason to end. A
// frame whose GPU work failed ends the run too, after one ERROR line.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <thread>

#include "recording.h"

struct GLFWwindow;

// Start-up, on the main thread, before glfwInit.
void installEndingHandlers();

// When the window could not be created: one line on standard error with GLFW's reason.
void reportWindowFailure();

// When a frame's launches or copies failed: one ERROR line with the error's name. The
// frame loop then ends and the viewer exits with status 1.
void reportFailedFrame(cudaError_t error);

// The frame loop's test: true once the window was asked to close or a signal came.
bool viewerShouldClose(GLFWwindow* window);

// The end of the recording, run once: clears `running` and runs the end of stream, which must
// be done by `deadline` (capture clock) when one is given. From endRecordingOnDisplayLoss on, a
// lost display runs it too, with the time left before the process ends.
void endRecording(std::thread& encodeThread, int64_t deadline = kNoDeadline);
void endRecordingOnDisplayLoss(std::thread& encodeThread);
