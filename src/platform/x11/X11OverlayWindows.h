#pragma once

#include "platform/OverlayWindows.h"

namespace skrib {

/// Overlay windows on the X server that Qt's xcb platform is connected to; does nothing (and
/// reports a compositor) on any other platform.
class X11OverlayWindows final : public OverlayWindows {
public:
    bool compositorMissing() override;
    void showOnAllDesktops(std::uint64_t window) override;
};

} // namespace skrib
