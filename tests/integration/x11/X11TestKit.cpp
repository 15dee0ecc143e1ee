#include "X11TestKit.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <stdexcept>
#include <tuple>

namespace skrib::testing {
namespace {

Display* open() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        throw std::runtime_error("no X display");
    }
    return display;
}

} // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QEventLoop loop;
    QElapsedTimer elapsed;
    elapsed.start();
    bool held = condition();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        held = condition();
        if (held || elapsed.elapsed() >= timeout.count()) {
            loop.quit();
        }
    });
    check.start(2);
    if (!held) {
        loop.exec();
    }
    return held;
}

KeyInjector::KeyInjector()
    : display_(open()) {}

KeyInjector::~KeyInjector() {
    XCloseDisplay(display_);
}

unsigned KeyInjector::code(const std::string& keysymName) {
    const KeySym keysym = XStringToKeysym(keysymName.c_str());
    return keysym == NoSymbol ? 0 : XKeysymToKeycode(display_, keysym);
}

void KeyInjector::press(unsigned code) {
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XSync(display_, False);
}

void KeyInjector::release(unsigned code) {
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    XSync(display_, False);
}

bool KeyInjector::isDown(unsigned code) {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    return ((keys[code / 8] >> (code % 8)) & 1) != 0;
}

void KeyInjector::setLocks(bool capsLock, bool numLock) {
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

unsigned long KeyInjector::activeWindow() {
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

unsigned long KeyInjector::focusWindow() {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    return focus;
}

TestWindow::TestWindow(const std::string& title)
    : display_(open()) {
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 10, 10, 240, 120, 0, 0,
                                  WhitePixel(display_, DefaultScreen(display_)));
    XSelectInput(display_, window_, KeyPressMask);
    XWMHints hints{};
    hints.flags = InputHint;
    hints.input = True;
    XSetWMHints(display_, window_, &hints);
    XStoreName(display_, window_, title.c_str());
    XMapWindow(display_, window_);
    XSync(display_, False);
}

TestWindow::~TestWindow() {
    XCloseDisplay(display_);
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
