#include "DesktopObserver.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <chrono>
#include <thread>

namespace skrib::testing {

DesktopObserver::DesktopObserver(const std::string& display)
    : display_(XOpenDisplay(display.c_str())) {}

DesktopObserver::~DesktopObserver() {
    if (display_ == nullptr) {
        return;
    }
    if (window_ != 0) {
        XDestroyWindow(display_, window_);
    }
    XCloseDisplay(display_);
}

bool DesktopObserver::waitForWindowManager(int timeoutMs) {
    const Window probe =
        XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 10, 10, 0, 0, 0);
    XMapWindow(display_, probe);
    XSync(display_, False);
    const Atom wmState = XInternAtom(display_, "WM_STATE", False);
    bool managed = false;
    for (int waited = 0; waited < timeoutMs && !managed; waited += 20) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, probe, wmState, 0, 2, False, AnyPropertyType, &type,
                               &format, &count, &after, &data) == Success) {
            managed = type != None;
            if (data != nullptr) {
                XFree(data);
            }
        }
        if (!managed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            // A manager still starting up can miss a map request; ask again now and then.
            if (waited % 500 == 480) {
                XMapWindow(display_, probe);
                XSync(display_, False);
            }
        }
    }
    XDestroyWindow(display_, probe);
    XSync(display_, False);
    return managed;
}

void DesktopObserver::setBackground(int red, int green, int blue) {
    XColor c{};
    c.red = static_cast<unsigned short>(red * 257);
    c.green = static_cast<unsigned short>(green * 257);
    c.blue = static_cast<unsigned short>(blue * 257);
    XAllocColor(display_, DefaultColormap(display_, DefaultScreen(display_)), &c);
    XSetWindowBackground(display_, DefaultRootWindow(display_), c.pixel);
    XClearWindow(display_, DefaultRootWindow(display_));
    XSync(display_, False);
}

DesktopObserver::WindowId DesktopObserver::openWindow() {
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 200, 300, 400, 200, 0, 0,
                                  0x808080);
    XStoreName(display_, window_, "other application");
    XWMHints hints{};
    hints.flags = InputHint;
    hints.input = True;
    XSetWMHints(display_, window_, &hints);
    XMapWindow(display_, window_);
    XSync(display_, False);
    return window_;
}

void DesktopObserver::requestActivation(WindowId window) {
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = window;
    message.xclient.message_type = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    message.xclient.format = 32;
    message.xclient.data.l[0] = 2; // from a pager: honoured without a user time
    message.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, DefaultRootWindow(display_), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &message);
    XSync(display_, False);
}

DesktopObserver::WindowId DesktopObserver::activeWindow() const {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    WindowId active = 0;
    if (XGetWindowProperty(display_, DefaultRootWindow(display_),
                           XInternAtom(display_, "_NET_ACTIVE_WINDOW", False), 0, 1, False,
                           XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
        if (count == 1) {
            active = *reinterpret_cast<const Window*>(data);
        }
        XFree(data);
    }
    return active;
}

DesktopObserver::WindowId DesktopObserver::inputFocus() const {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    return focus;
}

bool DesktopObserver::isViewable(WindowId window) const {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display_, window, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

std::pair<int, int> DesktopObserver::rootPosition(WindowId window) const {
    int x = 0;
    int y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y};
}

long long DesktopObserver::desktopOf(WindowId window) const {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    long long desktop = -1;
    if (XGetWindowProperty(display_, window, XInternAtom(display_, "_NET_WM_DESKTOP", False), 0, 1,
                           False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
        if (count == 1) {
            desktop = static_cast<long long>(*reinterpret_cast<const unsigned long*>(data) &
                                             0xFFFFFFFFul);
        }
        XFree(data);
    }
    return desktop;
}

bool DesktopObserver::hasState(WindowId window, const char* state) const {
    const Atom wanted = XInternAtom(display_, state, False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    bool found = false;
    if (XGetWindowProperty(display_, window, XInternAtom(display_, "_NET_WM_STATE", False), 0, 64,
                           False, XA_ATOM, &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
        const auto* atoms = reinterpret_cast<const Atom*>(data);
        for (unsigned long i = 0; i < count; ++i) {
            found = found || atoms[i] == wanted;
        }
        XFree(data);
    }
    return found;
}

DesktopObserver::Screenshot DesktopObserver::screenshot() const {
    Screenshot shot;
    const int screen = DefaultScreen(display_);
    shot.width = DisplayWidth(display_, screen);
    shot.height = DisplayHeight(display_, screen);
    // The root window's image holds what its children show, unlike a copy clipped by them.
    XImage* image =
        XGetImage(display_, DefaultRootWindow(display_), 0, 0, static_cast<unsigned>(shot.width),
                  static_cast<unsigned>(shot.height), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return {};
    }
    shot.pixels.reserve(static_cast<std::size_t>(shot.width) * shot.height);
    for (int y = 0; y < shot.height; ++y) {
        for (int x = 0; x < shot.width; ++x) {
            shot.pixels.push_back(0xFF000000u |
                                  static_cast<std::uint32_t>(XGetPixel(image, x, y) & 0xFFFFFF));
        }
    }
    XDestroyImage(image);
    return shot;
}

} // namespace skrib::testing
