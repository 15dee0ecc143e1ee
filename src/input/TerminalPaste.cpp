#include "input/TerminalPaste.h"

#include <algorithm>
#include <utility>

namespace skrib {
namespace {

// Window classes of terminal emulators (and the names some take on other desktops) with their
// paste chord. In them Ctrl+V is not a paste: it reaches the program as a control character.
constexpr std::pair<std::string_view, PasteKeys> terminals[] = {
    // CLIPBOARD with Ctrl+Shift+V.
    {"Gnome-terminal", PasteKeys::ctrlShiftV},
    {"gnome-terminal-server", PasteKeys::ctrlShiftV},
    {"konsole", PasteKeys::ctrlShiftV},
    {"Yakuake", PasteKeys::ctrlShiftV},
    {"Xfce4-terminal", PasteKeys::ctrlShiftV},
    {"Tilix", PasteKeys::ctrlShiftV},
    {"Terminator", PasteKeys::ctrlShiftV},
    {"kitty", PasteKeys::ctrlShiftV},
    {"Alacritty", PasteKeys::ctrlShiftV},
    {"org.wezfurlong.wezterm", PasteKeys::ctrlShiftV},
    {"wezterm", PasteKeys::ctrlShiftV},
    {"foot", PasteKeys::ctrlShiftV},
    {"footclient", PasteKeys::ctrlShiftV},
    {"st-256color", PasteKeys::ctrlShiftV}, // st names both its instance and class after $TERM
    {"St", PasteKeys::ctrlShiftV},          // older releases of st
    {"Lxterminal", PasteKeys::ctrlShiftV},
    {"Mate-terminal", PasteKeys::ctrlShiftV},
    {"Guake", PasteKeys::ctrlShiftV},
    {"Sakura", PasteKeys::ctrlShiftV},
    {"terminology", PasteKeys::ctrlShiftV},
    {"Kgx", PasteKeys::ctrlShiftV},
    {"org.gnome.Console", PasteKeys::ctrlShiftV},
    {"Ptyxis", PasteKeys::ctrlShiftV},
    {"org.gnome.Ptyxis", PasteKeys::ctrlShiftV},
    {"com.raggesilver.BlackBox", PasteKeys::ctrlShiftV},
    {"blackbox", PasteKeys::ctrlShiftV},
    {"qterminal", PasteKeys::ctrlShiftV},
    {"cool-retro-term", PasteKeys::ctrlShiftV},
    {"Termite", PasteKeys::ctrlShiftV},
    {"Hyper", PasteKeys::ctrlShiftV},
    {"tabby", PasteKeys::ctrlShiftV},
    {"com.mitchellh.ghostty", PasteKeys::ctrlShiftV},
    {"rio", PasteKeys::ctrlShiftV},
    {"deepin-terminal", PasteKeys::ctrlShiftV},
    // PRIMARY with Shift+Insert: xterm has no key for the CLIPBOARD out of the box.
    {"XTerm", PasteKeys::shiftInsert},
    {"UXTerm", PasteKeys::shiftInsert},
    {"URxvt", PasteKeys::shiftInsert},
    {"Rxvt", PasteKeys::shiftInsert},
};

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

} // namespace

PasteKeys pasteKeysFor(std::string_view applicationName) {
    const auto* terminal = std::ranges::find_if(terminals, [&](const auto& entry) {
        return equalIgnoringCase(entry.first, applicationName);
    });
    return terminal == std::end(terminals) ? PasteKeys::ctrlV : terminal->second;
}

std::string_view pasteKeysName(PasteKeys keys) {
    switch (keys) {
    case PasteKeys::ctrlShiftV:
        return "Ctrl+Shift+V";
    case PasteKeys::shiftInsert:
        return "Shift+Insert";
    case PasteKeys::ctrlV:
        break;
    }
    return "Ctrl+V";
}

} // namespace skrib
