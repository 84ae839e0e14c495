// The window's two modes: the 1280x720 window, and full screen on the monitor the window is on,
// where the picture keeps its shape between black bars. Main thread, as GLFW's window calls.
#pragma once

struct GLFWwindow;

class WindowMode {
  public:
    explicit WindowMode(GLFWwindow* window) : m_window(window) {}

    // F11: full screen, or back to the window where it was.
    void toggle();
    // Esc: back to the window, if full screen.
    void leaveFullScreen();
    bool fullScreen() const;

  private:
    GLFWwindow* m_window;
    int m_windowX = 0;
    int m_windowY = 0;
};
