// Drives a real X server for end-to-end tests: finds a window by title, sends real key events
// through XTest, reads titles and pixels back, and asks a window to close as a window
// manager would.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <opencv2/core.hpp>
#include <string>

class X11Driver {
  public:
    // On the display that DISPLAY names, or on `display`.
    explicit X11Driver(const char* display = nullptr);
    ~X11Driver();
    X11Driver(const X11Driver&) = delete;
    X11Driver& operator=(const X11Driver&) = delete;

    bool connected() const { return m_display != nullptr; }

    // The first top-level window whose title is `title` and which is mapped, or 0.
    Window waitForWindow(const std::string& title, std::chrono::milliseconds timeout);
    std::string title(Window window);
    bool waitForTitle(Window window, const std::string& title, std::chrono::milliseconds timeout);

    void focus(Window window);
    // keysym as in X11/keysym.h, e.g. XK_1 or XK_space.
    void press(unsigned long keysym);
    void release(unsigned long keysym);
    // Press, hold for `hold`, release. Holds long enough for the viewer to poll both.
    void tap(unsigned long keysym, std::chrono::milliseconds hold = std::chrono::milliseconds(150));

    // The window's pixels as blue-green-red rows, top row first.
    cv::Mat capture(Window window);

    void requestClose(Window window);

  private:
    Display* m_display = nullptr;
};
