#include "TestWindow.h"

#include "EventLoop.h"
#include "KeyInjector.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdexcept>

namespace skrib::testing {
namespace {

void setText(Display* display, Window window, Atom property, Atom type, const std::string& text) {
    XChangeProperty(display, window, property, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<int>(text.size()));
}

} // namespace

TestWindow::TestWindow(const WindowProperties& properties)
    : display_(XOpenDisplay(nullptr)) {
    if (display_ == nullptr) {
        throw std::runtime_error("no X display for the test window");
    }
    Display* display = display_;
    window_ = XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 240, 120, 0, 0,
                                  WhitePixel(display, DefaultScreen(display)));
    XSelectInput(display, window_, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XWMHints hints{};
    hints.flags = InputHint;
    hints.input = True;
    XSetWMHints(display, window_, &hints);
    if (properties.netWmName) {
        setText(display, window_, XInternAtom(display, "_NET_WM_NAME", False),
                XInternAtom(display, "UTF8_STRING", False), *properties.netWmName);
    }
    if (properties.wmClassName) {
        setText(display, window_, XA_WM_CLASS, XA_STRING,
                std::string("skrib-test") + '\0' + *properties.wmClassName + '\0');
    }
    if (properties.wmName) {
        setText(display, window_, XA_WM_NAME, XA_STRING, *properties.wmName);
    }
    if (properties.clientMachine) {
        setText(display, window_, XA_WM_CLIENT_MACHINE, XA_STRING, *properties.clientMachine);
    }
    if (properties.processId) {
        const long pid = *properties.processId;
        XChangeProperty(display, window_, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL,
                        32, PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    }
    XMapWindow(display, window_);
    XSync(display, False);
}

TestWindow::~TestWindow() {
    destroy();
    XCloseDisplay(display_);
}

bool TestWindow::isViewable() {
    XWindowAttributes attributes{};
    return window_ != 0 && XGetWindowAttributes(display_, window_, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

void TestWindow::destroy() {
    if (window_ != 0) {
        XDestroyWindow(display_, window_);
        XSync(display_, False);
        window_ = 0;
    }
}

std::vector<unsigned> TestWindow::keyPresses() {
    // The round trip brings in every event the server sent before it.
    XSync(display_, False);
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == KeyPress) {
            keyPresses_.push_back(event.xkey.keycode);
        }
    }
    return keyPresses_;
}

bool waitUntilWindowManagerFocusesNewWindows() {
    KeyInjector injector;
    for (int attempt = 0; attempt < 20; ++attempt) {
        TestWindow probe;
        if (waitUntil([&] { return injector.activeWindow() == probe.id(); },
                      std::chrono::milliseconds(500))) {
            return true;
        }
    }
    return false;
}

} // namespace skrib::testing
