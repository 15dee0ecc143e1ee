#pragma once

#include <string>

struct _XDisplay;

namespace skrib::testing {

/// Presses and releases keys through XTEST on a connection of its own, as a keyboard would,
/// and reads back what the X server and the window manager hold.
class KeyInjector {
public:
    /// Connects to $DISPLAY.
    KeyInjector();
    ~KeyInjector();
    KeyInjector(const KeyInjector&) = delete;
    KeyInjector& operator=(const KeyInjector&) = delete;

    /// The X key code the current layout puts the keysym on ("Control_R", "F5", "a"); 0 if none.
    unsigned code(const std::string& keysymName);
    /// Each waits until the server has taken the event.
    void press(unsigned code);
    void release(unsigned code);
    /// Whether the server holds the key down.
    bool isDown(unsigned code);
    /// Switches Caps Lock and Num Lock on or off, as the keys do.
    void setLocks(bool capsLock, bool numLock);
    bool capsLockOn();
    bool numLockOn();
    /// The window manager's _NET_ACTIVE_WINDOW (0: none).
    unsigned long activeWindow();
    /// The window with the X input focus.
    unsigned long focusWindow();

private:
    unsigned lockedModifiers();
    unsigned numLockMask();

    _XDisplay* display_;
};

} // namespace skrib::testing
