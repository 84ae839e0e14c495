// A viewer process on the test pattern and the X server it shows in.
#pragma once

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "child_process.h"
#include "x11_driver.h"

// Leaks of the GL driver and GLFW, which the viewer leaves to the end of the process, are
// not ours to report. No sound server is found (the desktop's microphone has no place in a
// test) unless a test starts its own.
inline std::map<std::string, std::string> childEnvironment() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"},
            {"PULSE_SERVER", "unix:/nonexistent/camfx-tests-have-no-sound-server"}};
}

class ViewerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "needs an X display";
        ASSERT_TRUE(x.connected());
    }

    // Starts the viewer and waits for its window, and for frames to show where the camera
    // delivers a moving picture.
    void start(std::vector<std::string> arguments = {"--fps=30"},
               const std::string& program = CAMFX_TESTAPP, bool moving = true) {
        using namespace std::chrono_literals;
        app = std::make_unique<ChildProcess>(program, arguments, dir.path(), environment);
        window = x.waitForWindow("Camera", 15s);
        ASSERT_NE(window, 0u) << app->standardError() << app->standardOutput();
        x.focus(window);
        if (moving)
            waitForMovingPicture();
        std::this_thread::sleep_for(300ms);
    }

    // Until its first frame the window shows whatever the screen held before, a slow (sanitizer)
    // build for a second or more; the pattern moves from frame to frame.
    void waitForMovingPicture() {
        using namespace std::chrono_literals;
        const cv::Mat first = x.capture(window);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
            const cv::Mat now = x.capture(window);
            if (now.size() == first.size() && cv::norm(now, first, cv::NORM_INF) > 0)
                return;
        }
        ADD_FAILURE() << "the window shows no moving picture";
    }

    // Asks the window to close and returns the exit status.
    std::optional<int> close() {
        x.requestClose(window);
        return app->waitForExit(std::chrono::seconds(20));
    }

    std::map<std::string, std::string> environment = childEnvironment();
    TempDir dir;
    X11Driver x;
    std::unique_ptr<ChildProcess> app;
    Window window = 0;
};
