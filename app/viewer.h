// The viewer: start-up, frame loop and shut-down over an opened (or not) camera.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdint>
#include <string>

#include <cuda_runtime.h>

class SoundInput;

struct ViewerSettings {
    bool fullScreen = false;     // start in full screen rather than in the 1280x720 window
    std::string snapshotFolder;  // where S saves the picture; empty: the working directory
};

// Runs the whole program on `camera`, with `sound` beside it when given; returns the process
// exit status: 0 after a normal close, -1 when the camera is not open or the window cannot be
// created, -2 when the OpenGL entry points cannot be loaded.
int runViewer(cv::VideoCapture& camera, SoundInput* sound = nullptr,
              const ViewerSettings& settings = {});

// Turns any camera frame into packed 1280x720 blue-green-red bytes. Returns the FRAME_BYTES
// to upload, or null when there is nothing valid to show (a failed or empty read).
const uint8_t* prepareCameraFrame(const cv::Mat& cameraFrame, cv::Mat& converted);

// The enabled effects, in their fixed order, each from currentFrame into nextFrame followed
// by a swap of the two pointers. Reads effectMask before the chain and after every step.
void runEffectChain(uint8_t*& currentFrame, uint8_t*& nextFrame, cudaStream_t frameStream,
                    float spiralTime);
