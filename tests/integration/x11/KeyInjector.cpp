#include "KeyInjector.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <stdexcept>

namespace skrib::testing {

KeyInjector::KeyInjector()
    : display_(XOpenDisplay(nullptr)) {
    if (display_ == nullptr) {
        throw std::runtime_error("no X display for the key injector");
    }
}

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

unsigned KeyInjector::lockedModifiers() {
    XkbStateRec state{};
    XkbGetState(display_, XkbUseCoreKbd, &state);
    return state.locked_mods;
}

unsigned KeyInjector::numLockMask() {
    return XkbKeysymToModifiers(display_, XK_Num_Lock);
}

bool KeyInjector::capsLockOn() {
    return (lockedModifiers() & LockMask) != 0;
}

bool KeyInjector::numLockOn() {
    return (lockedModifiers() & numLockMask()) != 0;
}

void KeyInjector::setLocks(bool capsLock, bool numLock) {
    if (capsLockOn() != capsLock) {
        press(code("Caps_Lock"));
        release(code("Caps_Lock"));
    }
    if (numLockOn() != numLock) {
        press(code("Num_Lock"));
        release(code("Num_Lock"));
    }
}

unsigned long KeyInjector::activeWindow() {
    const Atom active = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    unsigned long window = 0;
    if (XGetWindowProperty(display_, DefaultRootWindow(display_), active, 0, 1, False, XA_WINDOW,
                           &type, &format, &items, &after, &data) == Success &&
        data != nullptr && items == 1) {
        window = *reinterpret_cast<unsigned long*>(data);
    }
    if (data != nullptr) {
        XFree(data);
    }
    return window;
}

unsigned long KeyInjector::focusWindow() {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    return focus;
}

} // namespace skrib::testing
