#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct _XDisplay;

namespace skrib::testing {

/// A second connection to a test's X server that looks at the desktop the way another program
/// does: the active window, the input focus, window states, and an ordinary window of its own.
class DesktopObserver {
public:
    using WindowId = unsigned long;

    explicit DesktopObserver(const std::string& display);
    ~DesktopObserver();
    DesktopObserver(const DesktopObserver&) = delete;
    DesktopObserver& operator=(const DesktopObserver&) = delete;

    /// Waits until the window manager manages newly mapped windows (it may still be starting
    /// up after announcing itself); false when it does not within `timeoutMs`.
    bool waitForWindowManager(int timeoutMs);

    /// Paints the desktop in one colour, so that what shows through is recognisable.
    void setBackground(int red, int green, int blue);

    /// Maps an ordinary application window that accepts input.
    WindowId openWindow();
    /// Asks the window manager to activate `window` (as a pager would).
    void requestActivation(WindowId window);

    WindowId activeWindow() const;
    WindowId inputFocus() const;
    bool isViewable(WindowId window) const;
    /// Where `window`'s top-left corner is on the screen, as the server has it.
    std::pair<int, int> rootPosition(WindowId window) const;
    /// The window's virtual desktop (0xFFFFFFFF: all of them), if it has one.
    long long desktopOf(WindowId window) const;
    /// True when `window`'s _NET_WM_STATE holds the atom named `state`.
    bool hasState(WindowId window, const char* state) const;

    /// The screen as displayed, windows included, as 0xAARRGGBB pixels row by row.
    struct Screenshot {
        int width = 0;
        int height = 0;
        std::vector<std::uint32_t> pixels;
    };
    Screenshot screenshot() const;

private:
    _XDisplay* display_;
    WindowId window_ = 0;
};

} // namespace skrib::testing
