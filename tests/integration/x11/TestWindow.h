#pragma once

#include <optional>
#include <string>
#include <vector>

struct _XDisplay;

namespace skrib::testing {

/// What a test window tells the window manager about itself.
struct WindowProperties {
    std::optional<std::string> netWmName = std::nullopt;     // _NET_WM_NAME, UTF-8
    std::optional<std::string> wmClassName = std::nullopt;   // the class name in WM_CLASS, Latin-1
    std::optional<std::string> wmName = std::nullopt;        // WM_NAME as STRING, Latin-1
    std::optional<long> processId = std::nullopt;            // _NET_WM_PID
    std::optional<std::string> clientMachine = std::nullopt; // WM_CLIENT_MACHINE
};

/// A plain top-level X window on a connection of its own that records the keys it receives.
class TestWindow {
public:
    explicit TestWindow(const WindowProperties& properties = {});
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    unsigned long id() const { return window_; }
    /// Whether the window manager has shown the window.
    bool isViewable();
    void destroy();
    /// The key codes of every key press that has reached the window so far.
    std::vector<unsigned> keyPresses();

private:
    _XDisplay* display_;
    unsigned long window_ = 0;
    std::vector<unsigned> keyPresses_;
};

/// Waits until the window manager gives a newly shown window the focus, as it does once it has
/// finished starting (while starting it leaves new windows unfocused). Runs the Qt event loop.
bool waitUntilWindowManagerFocusesNewWindows();

} // namespace skrib::testing
