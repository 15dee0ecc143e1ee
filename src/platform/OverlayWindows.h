#pragma once

#include <cstdint>

namespace skrib {

/// What a floating overlay (the capsule) needs from the window system beyond its toolkit.
/// Main thread only.
class OverlayWindows {
public:
    virtual ~OverlayWindows() = default;

    /// True when no compositor draws transparent pixels, so an overlay must clip itself to its
    /// shape; false when one does or when it cannot be told.
    virtual bool compositorMissing() = 0;
    /// Asks the window manager to show `window` on every virtual desktop; call before the window
    /// is first shown.
    virtual void showOnAllDesktops(std::uint64_t window) = 0;
};

} // namespace skrib
