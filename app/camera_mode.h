// What the viewer asks of a camera, and what it reports back.
#pragma once

#include <opencv2/videoio.hpp>

#include <string>

// Asks for MJPG at 1280x720 and 30 frames a second, then writes one INFO line with what the
// camera reports. The four-character code goes first: many cameras offer 720p at 30 frames
// a second only as MJPG (their raw YUYV at 720p runs at 10 or less), and a size set before
// the format would be chosen among the raw modes. A camera that refuses keeps what it gives;
// frames of another size are converted in the frame loop.
void requestCameraMode(cv::VideoCapture& camera);

// Size, pixel format and rate as the camera reports them, e.g. "1280x720 MJPG at 30 fps".
std::string describeCameraMode(const cv::VideoCapture& camera);
