#pragma once

#include <optional>
#include <string>

namespace skrib {

/// The protocols of a Wayland compositor that the desktop adapter uses.
struct WaylandProtocols {
    bool dataControl = false;      // sets the clipboard without a focused window
    bool primarySelection = false; // the same for the primary selection (data control v2)
    bool virtualKeyboard = false;  // synthetic keys
    bool foreignToplevel = false;  // the windows, which one is active, activating one
};

/// Whether the user's session is a Wayland one: XDG_SESSION_TYPE is "wayland" or
/// WAYLAND_DISPLAY is set.
bool isWaylandSession();

/// What the compositor at `displayName` (empty: $WAYLAND_DISPLAY) offers; none when it cannot
/// be reached.
std::optional<WaylandProtocols> probeWaylandProtocols(const std::string& displayName = {});

} // namespace skrib
