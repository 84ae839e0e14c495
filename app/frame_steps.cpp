// The steps of one frame that run on the host before the blit: the camera frame made
// uploadable, and the effect chain.
#include <opencv2/imgproc.hpp>

#include <utility>

#include "frame.h"
#include "launch.h"
#include "pipeline_state.h"
#include "viewer.h"

const uint8_t* prepareCameraFrame(const cv::Mat& cameraFrame, cv::Mat& converted) {
    if (cameraFrame.empty() || cameraFrame.dims != 2)
        return nullptr;
    const cv::Mat* frame = &cameraFrame;
    if (frame->depth() != CV_8U) {
        frame->convertTo(converted, CV_MAKETYPE(CV_8U, frame->channels()));
        frame = &converted;
    }
    switch (frame->channels()) {
        case 3:
            break;
        case 1:
            cv::cvtColor(*frame, converted, cv::COLOR_GRAY2BGR);
            frame = &converted;
            break;
        case 4:
            cv::cvtColor(*frame, converted, cv::COLOR_BGRA2BGR);
            frame = &converted;
            break;
        default:
            return nullptr;
    }
    if (frame->cols != FRAME_WIDTH || frame->rows != FRAME_HEIGHT) {
        cv::Mat resized;
        cv::resize(*frame, resized, cv::Size(FRAME_WIDTH, FRAME_HEIGHT), 0, 0, cv::INTER_AREA);
        converted = std::move(resized);
        frame = &converted;
    }
    if (!frame->isContinuous()) {
        converted = frame->clone();
        frame = &converted;
    }
    return frame->data;
}

void runEffectChain(uint8_t*& currentFrame, uint8_t*& nextFrame, cudaStream_t frameStream,
                    float spiralTime) {
    uint8_t mask = effectMask.load(std::memory_order_relaxed);
    if (mask & 0x01) {
        launchMosaic(frameStream, currentFrame, nextFrame, FRAME_WIDTH, FRAME_HEIGHT, 8);
        std::swap(currentFrame, nextFrame);
        mask = effectMask.load(std::memory_order_relaxed);
    }
    if (mask & 0x02) {
        launchNegative(LaunchGeometry.grid, LaunchGeometry.block, frameStream, currentFrame,
                       nextFrame, FRAME_WIDTH, FRAME_HEIGHT);
        std::swap(currentFrame, nextFrame);
        mask = effectMask.load(std::memory_order_relaxed);
    }
    if (mask & 0x04) {
        launchMirrorX(LaunchGeometry.grid, LaunchGeometry.block, frameStream, currentFrame,
                      nextFrame, FRAME_WIDTH, FRAME_HEIGHT);
        std::swap(currentFrame, nextFrame);
        mask = effectMask.load(std::memory_order_relaxed);
    }
    if (mask & 0x08) {
        launchSpiral(LaunchGeometry.grid, LaunchGeometry.block, frameStream, currentFrame,
                     nextFrame, FRAME_WIDTH, FRAME_HEIGHT, 640.0f, 360.0f, spiralTime);
        std::swap(currentFrame, nextFrame);
    }
}
