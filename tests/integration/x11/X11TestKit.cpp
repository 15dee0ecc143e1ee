#include "X11TestKit.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace skrib::testing {

TestClient::TestClient()
    : display_(XOpenDisplay(nullptr)) {
    if (display_ == nullptr) {
        throw std::runtime_error("no X display");
    }
}

TestClient::~TestClient() {
    XCloseDisplay(display_);
}

unsigned TestClient::code(const std::string& keysymName) {
    const KeySym keysym = XStringToKeysym(keysymName.c_str());
    return keysym == NoSymbol ? 0 : XKeysymToKeycode(display_, keysym);
}

void TestClient::press(unsigned code) {
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XSync(display_, False);
}

void TestClient::release(unsigned code) {
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    XSync(display_, False);
}

bool TestClient::isDown(unsigned code) {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    return ((keys[code / 8] >> (code % 8)) & 1) != 0;
}

void TestClient::setLocks(bool capsLock, bool numLock) {
    XkbStateRec state{};
    XkbGetState(display_, XkbUseCoreKbd, &state);
    const unsigned numLockMask = XkbKeysymToModifiers(display_, XK_Num_Lock);
    for (const auto& [on, mask, key] : {std::tuple{capsLock, unsigned{LockMask}, "Caps_Lock"},
                                        std::tuple{numLock, numLockMask, "Num_Lock"}}) {
        if (on != ((state.locked_mods & mask) != 0)) {
            press(code(key));
            release(code(key));
        }
    }
}

unsigned long TestClient::activeWindow() {
    const Atom active = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0, window = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, DefaultRootWindow(display_), active, 0, 1, False, XA_WINDOW,
                           &type, &format, &items, &after, &data) == Success &&
        data != nullptr && items == 1) {
        window = *reinterpret_cast<unsigned long*>(data);
    }
    XFree(data);
    return window;
}

unsigned long TestClient::focusWindow() {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    return focus;
}

unsigned long TestClient::openWindow(const std::string& title) {
    const Window window = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 10, 10, 240,
                                              120, 0, 0, WhitePixel(display_, 0));
    XSelectInput(display_, window, KeyPressMask);
    XWMHints hints{};
    hints.flags = InputHint;
    hints.input = True;
    XSetWMHints(display_, window, &hints);
    XStoreName(display_, window, title.c_str());
    XMapWindow(display_, window);
    XSync(display_, False);
    return window;
}

long TestClient::pressesInWindows(unsigned code) {
    XSync(display_, False); // brings in every event the server sent before it
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == KeyPress) {
            presses_.push_back(event.xkey.keycode);
        }
    }
    return std::count(presses_.begin(), presses_.end(), code);
}

} // namespace skrib::testing
