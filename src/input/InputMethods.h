#pragma once

#include <string>

namespace skrib {

/// What the desktop session offers for watching the hotkey and for typing the paste.
struct InputAvailability {
    bool wayland = false;           // a Wayland session (else X11)
    bool evdevKeyboards = false;    // keyboards the user may read (the input group)
    bool evdevDenied = false;       // keyboards exist but the user may not read them
    bool portalShortcuts = false;   // the desktop portal's global shortcuts
    bool portalKeyboard = false;    // the desktop portal's remote-desktop keyboard
    bool virtualKeyboard = false;   // the wlroots virtual-keyboard protocol
    bool uinput = false;            // /dev/uinput is writable
};

enum class HotkeyMethod { x11, evdev, portalShortcut, x11Only };
enum class PasteMethod { x11, portalKeyboard, virtualKeyboard, uinput, clipboardOnly };

/// The best way to watch the hotkey and to paste that the session offers, in words for the
/// log and for Settings, with the one step that would enable a better one (empty when none).
struct InputMethods {
    HotkeyMethod hotkey = HotkeyMethod::x11;
    PasteMethod paste = PasteMethod::x11;

    static InputMethods choose(const InputAvailability& available);

    std::string hotkeyName() const;
    std::string pasteName() const;
    /// "Hotkey: … · Paste: …".
    std::string summary() const;
    std::string nextStep(const InputAvailability& available) const;
};

} // namespace skrib
