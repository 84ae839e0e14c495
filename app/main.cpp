#include <GLFW/glfw3.h>

#include <iostream>
#include <memory>

#include "NvCodecUtils.h"
#include "camera_source.h"
#include "options.h"
#include "recording.h"
#include "viewer.h"

int main(int argc, char** argv) {
    const CommandLine commandLine = parseCommandLine(argc, argv, std::cout, std::cerr);
    if (commandLine.exitStatus)
        return *commandLine.exitStatus;
    const Options& options = commandLine.options;

    // Without it a missing display ends the program with no word of why. Calls after a
    // failed glfwInit only repeat that GLFW is not initialised.
    glfwSetErrorCallback([](int code, const char* description) {
        if (code == GLFW_NOT_INITIALIZED)
            return;
        simplelogger::LogLine(gLogger, simplelogger::ERROR, __FILE__, __LINE__, "GLFW").stream()
            << "GLFW error " << code << ": " << description;
    });
    setOutputPath(options.output);
    std::unique_ptr<cv::VideoCapture> camera = openCameraSource(options);
    if (!options.input.empty() && !camera->isOpened())
        std::cerr << "\"" << options.input << "\" is not a video that can be read.\n";
    return runViewer(*camera);
}
