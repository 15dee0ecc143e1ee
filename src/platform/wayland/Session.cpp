#include "platform/wayland/Session.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <cstdlib>
#include <cstring>
#include <wayland-client.h>

namespace skrib {

bool isWaylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* display = std::getenv("WAYLAND_DISPLAY");
    return (type != nullptr && std::strcmp(type, "wayland") == 0) ||
           (display != nullptr && *display != '\0');
}

std::optional<WaylandProtocols> probeWaylandProtocols(const std::string& displayName) {
    wl_display* display = wl_display_connect(displayName.empty() ? nullptr : displayName.c_str());
    if (display == nullptr) {
        return std::nullopt;
    }
    WaylandProtocols offered;
    static const wl_registry_listener listener{
        [](void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t version) {
            auto& offered = *static_cast<WaylandProtocols*>(data);
            const auto is = [interface](const wl_interface& known) {
                return std::strcmp(interface, known.name) == 0;
            };
            if (is(zwlr_data_control_manager_v1_interface)) {
                offered.dataControl = true;
                offered.primarySelection = version >= 2;
            }
            offered.virtualKeyboard |= is(zwp_virtual_keyboard_manager_v1_interface);
            offered.foreignToplevel |= is(zwlr_foreign_toplevel_manager_v1_interface);
        },
        [](void*, wl_registry*, std::uint32_t) {}};
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, &offered);
    const bool answered = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return answered ? std::optional(offered) : std::nullopt;
}

} // namespace skrib
