#include "x11_driver.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <thread>
#include <vector>

namespace {

std::string windowTitle(Display* display, Window window) {
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netWmName, 0, 1024, False, utf8, &type, &format, &count,
                           &remaining, &data) == Success &&
        data != nullptr) {
        title.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
        return title;
    }
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name != nullptr) {
        title = name;
        XFree(name);
    }
    return title;
}

}  // namespace

X11Driver::X11Driver(const char* display) {
    // A server started without -noreset resets once its last client has left, and resets
    // the connections that come meanwhile: the previous test's viewer and driver may just
    // have left.
    m_display = XOpenDisplay(display);
    for (int i = 0; i < 50 && m_display == nullptr; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_display = XOpenDisplay(display);
    }
}

X11Driver::~X11Driver() {
    if (m_display != nullptr)
        XCloseDisplay(m_display);
}

Window X11Driver::waitForWindow(const std::string& title, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        Window root = DefaultRootWindow(m_display), parent = 0, *children = nullptr;
        unsigned int count = 0;
        Window found = 0;
        if (XQueryTree(m_display, root, &root, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count && found == 0; ++i) {
                XWindowAttributes attributes{};
                if (XGetWindowAttributes(m_display, children[i], &attributes) &&
                    attributes.map_state == IsViewable &&
                    windowTitle(m_display, children[i]) == title)
                    found = children[i];
            }
            if (children != nullptr)
                XFree(children);
        }
        if (found != 0)
            return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

std::string X11Driver::title(Window window) {
    return windowTitle(m_display, window);
}

bool X11Driver::waitForTitle(Window window, const std::string& expected,
                             std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (title(window) != expected) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void X11Driver::focus(Window window) {
    XRaiseWindow(m_display, window);
    XSetInputFocus(m_display, window, RevertToPointerRoot, CurrentTime);
    XSync(m_display, False);
}

void X11Driver::press(unsigned long keysym) {
    XTestFakeKeyEvent(m_display, XKeysymToKeycode(m_display, keysym), True, CurrentTime);
    XSync(m_display, False);
}

void X11Driver::release(unsigned long keysym) {
    XTestFakeKeyEvent(m_display, XKeysymToKeycode(m_display, keysym), False, CurrentTime);
    XSync(m_display, False);
}

void X11Driver::tap(unsigned long keysym, std::chrono::milliseconds hold) {
    press(keysym);
    std::this_thread::sleep_for(hold);
    release(keysym);
    std::this_thread::sleep_for(hold);
}

cv::Mat X11Driver::capture(Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(m_display, window, &attributes);
    XImage* image =
        XGetImage(m_display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    cv::Mat pixels(attributes.height, attributes.width, CV_8UC3);
    if (image == nullptr)
        return cv::Mat();
    for (int y = 0; y < attributes.height; ++y) {
        auto* row = pixels.ptr<uint8_t>(y);
        for (int x = 0; x < attributes.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            row[3 * x + 0] = static_cast<uint8_t>(pixel & image->blue_mask);
            row[3 * x + 1] = static_cast<uint8_t>((pixel & image->green_mask) >> 8);
            row[3 * x + 2] = static_cast<uint8_t>((pixel & image->red_mask) >> 16);
        }
    }
    XDestroyImage(image);
    return pixels;
}

void X11Driver::requestClose(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(m_display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(m_display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_display, window, False, NoEventMask, &event);
    XSync(m_display, False);
}
