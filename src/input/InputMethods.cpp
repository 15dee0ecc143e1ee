#include "input/InputMethods.h"

namespace skrib {

// Best first. The keyboards' own events keep a lone modifier and holding; the portal's
// shortcut is a chord the user confirms; the X11 hook on a Wayland session sees only the keys
// typed into X11 windows. For the paste, the portal's keyboard (GNOME, KDE), the wlroots
// virtual keyboard (sway, Hyprland, river), a uinput keyboard, else the clipboard alone.
InputMethods InputMethods::choose(const InputAvailability& a) {
    if (!a.wayland) {
        return {HotkeyMethod::x11, PasteMethod::x11};
    }
    InputMethods m;
    m.hotkey = a.evdevKeyboards    ? HotkeyMethod::evdev
               : a.portalShortcuts ? HotkeyMethod::portalShortcut
                                   : HotkeyMethod::x11Only;
    m.paste = a.portalKeyboard    ? PasteMethod::portalKeyboard
              : a.virtualKeyboard ? PasteMethod::virtualKeyboard
              : a.uinput          ? PasteMethod::uinput
                                  : PasteMethod::clipboardOnly;
    return m;
}

std::string InputMethods::hotkeyName() const {
    switch (hotkey) {
    case HotkeyMethod::x11:
        return "X11 keyboard";
    case HotkeyMethod::evdev:
        return "keyboard devices";
    case HotkeyMethod::portalShortcut:
        return "desktop shortcut";
    case HotkeyMethod::x11Only:
        return "X11 windows only";
    }
    return {};
}

std::string InputMethods::pasteName() const {
    switch (paste) {
    case PasteMethod::x11:
        return "X11 keys";
    case PasteMethod::portalKeyboard:
        return "desktop remote keyboard";
    case PasteMethod::virtualKeyboard:
        return "virtual keyboard";
    case PasteMethod::uinput:
        return "uinput keyboard";
    case PasteMethod::clipboardOnly:
        return "clipboard only";
    }
    return {};
}

std::string InputMethods::summary() const {
    return "Hotkey: " + hotkeyName() + " · Paste: " + pasteName();
}

std::string InputMethods::nextStep(const InputAvailability& a) const {
    if (hotkey == HotkeyMethod::portalShortcut || hotkey == HotkeyMethod::x11Only) {
        return a.evdevDenied || !a.evdevKeyboards
                   ? "Add yourself to the input group to use a lone key on Wayland"
                   : std::string();
    }
    if (paste == PasteMethod::clipboardOnly) {
        return "Allow writing to /dev/uinput to paste on Wayland";
    }
    return {};
}

} // namespace skrib
