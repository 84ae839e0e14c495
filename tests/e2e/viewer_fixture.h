// A viewer process on the test pattern and the X server it shows in.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "child_process.h"
#include "x11_driver.h"

// Leaks of the GL driver and GLFW, which the viewer leaves to the end of the process, are
// not ours to report.
inline std::map<std::string, std::string> childEnvironment() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}};
}

class ViewerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "needs an X display";
        ASSERT_TRUE(x.connected());
    }

    // Starts the viewer and waits for its window.
    void start(std::vector<std::string> arguments = {"--fps=30"}) {
        using namespace std::chrono_literals;
        app = std::make_unique<ChildProcess>(CAMFX_TESTAPP, arguments, dir.path(),
                                             childEnvironment());
        window = x.waitForWindow("Camera", 15s);
        ASSERT_NE(window, 0u) << app->standardError();
        x.focus(window);
        std::this_thread::sleep_for(300ms);
    }

    // Asks the window to close and returns the exit status.
    std::optional<int> close() {
        x.requestClose(window);
        return app->waitForExit(std::chrono::seconds(20));
    }

    TempDir dir;
    X11Driver x;
    std::unique_ptr<ChildProcess> app;
    Window window = 0;
};
