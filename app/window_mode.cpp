#include "window_mode.h"

#include <GLFW/glfw3.h>

#include "frame.h"

namespace {

// The monitor holding the window's centre; the primary one when none does (a window moved
// off every screen).
GLFWmonitor* monitorOf(GLFWwindow* window) {
    int x = 0, y = 0, width = 0, height = 0;
    glfwGetWindowPos(window, &x, &y);
    glfwGetWindowSize(window, &width, &height);
    const int centreX = x + width / 2;
    const int centreY = y + height / 2;
    int count = 0;
    GLFWmonitor** monitors = glfwGetMonitors(&count);
    for (int i = 0; i < count; ++i) {
        int left = 0, top = 0;
        glfwGetMonitorPos(monitors[i], &left, &top);
        const GLFWvidmode* mode = glfwGetVideoMode(monitors[i]);
        if (mode != nullptr && centreX >= left && centreX < left + mode->width && centreY >= top &&
            centreY < top + mode->height)
            return monitors[i];
    }
    return glfwGetPrimaryMonitor();
}

}  // namespace

bool WindowMode::fullScreen() const {
    return glfwGetWindowMonitor(m_window) != nullptr;
}

void WindowMode::toggle() {
    if (fullScreen()) {
        leaveFullScreen();
        return;
    }
    GLFWmonitor* monitor = monitorOf(m_window);
    const GLFWvidmode* mode = monitor != nullptr ? glfwGetVideoMode(monitor) : nullptr;
    if (mode == nullptr)
        return;  // no monitor to fill: the window stays as it is
    glfwGetWindowPos(m_window, &m_windowX, &m_windowY);
    glfwSetWindowMonitor(m_window, monitor, 0, 0, mode->width, mode->height, mode->refreshRate);
    // A pointer left over the picture is in the way of watching it, as in any player.
    glfwSetInputMode(m_window, GLFW_CURSOR, GLFW_CURSOR_HIDDEN);
}

void WindowMode::leaveFullScreen() {
    if (!fullScreen())
        return;
    glfwSetWindowMonitor(m_window, nullptr, m_windowX, m_windowY, FRAME_WIDTH, FRAME_HEIGHT,
                         GLFW_DONT_CARE);
    glfwSetInputMode(m_window, GLFW_CURSOR, GLFW_CURSOR_NORMAL);
}
