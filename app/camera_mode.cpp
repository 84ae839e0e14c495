#include "camera_mode.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <sstream>

#include "NvCodecUtils.h"

namespace {

std::string fourccText(double value) {
    // A backend may report anything; only a 32-bit code converts.
    if (!(value >= 0.0 && value <= 4294967295.0))
        return "pixel format not reported";
    const auto code = static_cast<uint32_t>(value);
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>((code >> (8 * i)) & 0xFF);
        if (!std::isprint(c))
            return code == 0 ? "pixel format not reported" : "pixel format " + std::to_string(code);
        text += static_cast<char>(c);
    }
    return text;
}

}  // namespace

void requestCameraMode(cv::VideoCapture& camera) {
    camera.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'));
    camera.set(cv::CAP_PROP_FRAME_WIDTH, 1280.0);
    camera.set(cv::CAP_PROP_FRAME_HEIGHT, 720.0);
    camera.set(cv::CAP_PROP_FPS, 30.0);
    simplelogger::LogLine(gLogger, simplelogger::INFO, __FILE__, __LINE__, __func__).stream()
        << "Camera delivers " << describeCameraMode(camera);
}

std::string describeCameraMode(const cv::VideoCapture& camera) {
    std::ostringstream text;
    text << camera.get(cv::CAP_PROP_FRAME_WIDTH) << 'x' << camera.get(cv::CAP_PROP_FRAME_HEIGHT)
         << ' ' << fourccText(camera.get(cv::CAP_PROP_FOURCC));
    const double fps = camera.get(cv::CAP_PROP_FPS);
    if (std::isfinite(fps) && fps > 0)
        text << " at " << fps << " fps";
    else
        text << ", rate not reported";
    return text.str();
}
