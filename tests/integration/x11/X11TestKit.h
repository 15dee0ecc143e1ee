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

/// Another client of the test display, on a connection of its own: the user's keyboard (keys
/// through XTEST), plain windows that record the keys they receive, and what the server and the
/// window manager hold.
class TestClient {
public:
    TestClient();
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

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
    /// Shows a top-level window; answers its id.
    unsigned long openWindow(const std::string& title);
    /// How often the key has been pressed in this client's windows so far.
    long pressesInWindows(unsigned code);

private:
    _XDisplay* display_;
    std::vector<unsigned> presses_;
};

} // namespace skrib::testing
