#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct _XDisplay;

namespace skrib::testing {

/// Runs the Qt event loop until `condition` holds or the time is up; says whether it held. The
/// program's own X work (socket notifiers, the clipboard it serves) goes on meanwhile.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

/// Presses and releases keys through XTEST on a connection of its own, as a keyboard would,
/// and reads back what the X server and the window manager hold.
class KeyInjector {
public:
    KeyInjector();
    ~KeyInjector();
    KeyInjector(const KeyInjector&) = delete;
    KeyInjector& operator=(const KeyInjector&) = delete;

    /// The X key code the layout puts the keysym on ("Control_R", "a"); 0 if none.
    unsigned code(const std::string& keysymName);
    /// Each waits until the server has taken the event.
    void press(unsigned code);
    void release(unsigned code);
    bool isDown(unsigned code);
    /// Switches Caps Lock and Num Lock on or off, as the keys do.
    void setLocks(bool capsLock, bool numLock);
    /// The window manager's _NET_ACTIVE_WINDOW (0: none), and the window with the input focus.
    unsigned long activeWindow();
    unsigned long focusWindow();

private:
    _XDisplay* display_;
};

/// A plain top-level X window on a connection of its own that records the keys it receives.
class TestWindow {
public:
    explicit TestWindow(const std::string& title = "test");
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    unsigned long id() const { return window_; }
    /// The key codes of every key press that has reached the window so far.
    std::vector<unsigned> keyPresses();

private:
    _XDisplay* display_;
    unsigned long window_ = 0;
    std::vector<unsigned> keyPresses_;
};

/// Waits until the window manager gives a newly shown window the focus, as it does once it has
/// finished starting.
bool waitUntilWindowManagerFocusesNewWindows();

} // namespace skrib::testing
