#include "platform/x11/X11KeyTranslator.h"

#include <algorithm>
#include <array>
#include <linux/input-event-codes.h>
#include <utility>

namespace skrib {
namespace {

// X adds 8 to the kernel's key codes.
constexpr unsigned x(unsigned evdevCode) {
    return evdevCode + 8;
}

// The layout's virtual AltGr key (xkb's <LVL3>); programs that type characters press it.
constexpr unsigned isoLevel3Key = 92;

constexpr std::pair<unsigned, std::uint16_t> namedKeys[] = {
    {KEY_A, 0},
    {KEY_S, 1},
    {KEY_D, 2},
    {KEY_F, 3},
    {KEY_H, 4},
    {KEY_G, 5},
    {KEY_Z, 6},
    {KEY_X, 7},
    {KEY_C, 8},
    {KEY_V, 9},
    {KEY_B, 11},
    {KEY_Q, 12},
    {KEY_W, 13},
    {KEY_E, 14},
    {KEY_R, 15},
    {KEY_Y, 16},
    {KEY_T, 17},
    {KEY_1, 18},
    {KEY_2, 19},
    {KEY_3, 20},
    {KEY_4, 21},
    {KEY_6, 22},
    {KEY_5, 23},
    {KEY_EQUAL, 24},
    {KEY_9, 25},
    {KEY_7, 26},
    {KEY_MINUS, 27},
    {KEY_8, 28},
    {KEY_0, 29},
    {KEY_RIGHTBRACE, 30},
    {KEY_O, 31},
    {KEY_U, 32},
    {KEY_LEFTBRACE, 33},
    {KEY_I, 34},
    {KEY_P, 35},
    {KEY_ENTER, 36},
    {KEY_L, 37},
    {KEY_J, 38},
    {KEY_APOSTROPHE, 39},
    {KEY_K, 40},
    {KEY_SEMICOLON, 41},
    {KEY_BACKSLASH, 42},
    {KEY_COMMA, 43},
    {KEY_SLASH, 44},
    {KEY_N, 45},
    {KEY_M, 46},
    {KEY_DOT, 47},
    {KEY_TAB, 48},
    {KEY_SPACE, 49},
    {KEY_GRAVE, 50},
    {KEY_BACKSPACE, 51},
    {KEY_ESC, keyCodes::escape},
    {KEY_RIGHTMETA, keyCodes::rightCommand},
    {KEY_LEFTMETA, keyCodes::leftCommand},
    {KEY_LEFTSHIFT, keyCodes::leftShift},
    {KEY_CAPSLOCK, keyCodes::capsLock},
    {KEY_LEFTALT, keyCodes::leftOption},
    {KEY_LEFTCTRL, keyCodes::leftControl},
    {KEY_RIGHTSHIFT, keyCodes::rightShift},
    {KEY_RIGHTALT, keyCodes::rightOption},
    {KEY_RIGHTCTRL, keyCodes::rightControl},
    {KEY_F17, 64},
    {KEY_KPDOT, 65},
    {KEY_KPASTERISK, 67},
    {KEY_KPPLUS, 69},
    {KEY_NUMLOCK, 71},
    {KEY_VOLUMEUP, 72},
    {KEY_VOLUMEDOWN, 73},
    {KEY_MUTE, 74},
    {KEY_KPSLASH, 75},
    {KEY_KPENTER, 76},
    {KEY_KPMINUS, 78},
    {KEY_F18, 79},
    {KEY_F19, 80},
    {KEY_KPEQUAL, 81},
    {KEY_KP0, 82},
    {KEY_KP1, 83},
    {KEY_KP2, 84},
    {KEY_KP3, 85},
    {KEY_KP4, 86},
    {KEY_KP5, 87},
    {KEY_KP6, 88},
    {KEY_KP7, 89},
    {KEY_F20, 90},
    {KEY_KP8, 91},
    {KEY_KP9, 92},
    {KEY_F5, keyCodes::f5},
    {KEY_F6, 97},
    {KEY_F7, 98},
    {KEY_F3, 99},
    {KEY_F8, 100},
    {KEY_F9, 101},
    {KEY_F11, 103},
    {KEY_F13, 105},
    {KEY_F16, 106},
    {KEY_F14, 107},
    {KEY_F10, 109},
    {KEY_F12, 111},
    {KEY_F15, 113},
    {KEY_INSERT, 114},
    {KEY_HELP, 114}, // the same key on keyboards that have Help in Insert's place
    {KEY_HOME, 115},
    {KEY_PAGEUP, 116},
    {KEY_DELETE, 117},
    {KEY_F4, 118},
    {KEY_END, 119},
    {KEY_F2, 120},
    {KEY_PAGEDOWN, 121},
    {KEY_F1, 122},
    {KEY_LEFT, 123},
    {KEY_RIGHT, 124},
    {KEY_DOWN, 125},
    {KEY_UP, 126},
};

constexpr auto virtualCodes = [] {
    std::array<std::uint16_t, X11KeyTranslator::keyCodeCount> codes{};
    for (unsigned code = 0; code < codes.size(); ++code) {
        codes[code] = static_cast<std::uint16_t>(X11KeyTranslator::ownCodeBase + code);
    }
    for (const auto& [evdev, virtualCode] : namedKeys) {
        codes[x(evdev)] = virtualCode;
    }
    return codes;
}();

// The flag each modifier key holds down; Caps Lock is a toggle and kept apart.
constexpr auto modifierFlags = [] {
    std::array<std::uint64_t, X11KeyTranslator::keyCodeCount> flags{};
    flags[x(KEY_LEFTCTRL)] = flags[x(KEY_RIGHTCTRL)] = keyFlags::control;
    flags[x(KEY_LEFTSHIFT)] = flags[x(KEY_RIGHTSHIFT)] = keyFlags::shift;
    flags[x(KEY_LEFTALT)] = flags[x(KEY_RIGHTALT)] = flags[isoLevel3Key] = keyFlags::option;
    flags[x(KEY_LEFTMETA)] = flags[x(KEY_RIGHTMETA)] = keyFlags::command;
    return flags;
}();

constexpr unsigned capsLockKey = x(KEY_CAPSLOCK);

} // namespace

std::uint16_t X11KeyTranslator::virtualKeyCode(unsigned xKeyCode) {
    return xKeyCode < keyCodeCount ? virtualCodes[xKeyCode]
                                   : static_cast<std::uint16_t>(ownCodeBase + xKeyCode);
}

bool X11KeyTranslator::delivers(std::uint16_t virtualKeyCode) {
    // X key codes 0 to 7 are never sent.
    return std::find(virtualCodes.begin() + 8, virtualCodes.end(), virtualKeyCode) !=
           virtualCodes.end();
}

bool X11KeyTranslator::isModifier(unsigned xKeyCode) {
    return xKeyCode < keyCodeCount && (modifierFlags[xKeyCode] != 0 || xKeyCode == capsLockKey);
}

void X11KeyTranslator::reset(const std::bitset<keyCodeCount>& heldKeys, bool capsLockOn) {
    held_ = heldKeys;
    capsLockOn_ = capsLockOn;
}

std::uint64_t X11KeyTranslator::flags() const {
    std::uint64_t flags = capsLockOn_ ? keyFlags::capsLock : 0;
    for (unsigned code = 0; code < keyCodeCount; ++code) {
        if (held_[code]) {
            flags |= modifierFlags[code];
        }
    }
    return flags;
}

std::optional<KeyEvent> X11KeyTranslator::translate(unsigned xKeyCode, bool pressed) {
    if (xKeyCode >= keyCodeCount) {
        return std::nullopt;
    }
    const bool wasHeld = held_[xKeyCode];
    if (!pressed && !wasHeld) {
        return std::nullopt; // a second release, or one of a key pressed before we looked
    }
    held_[xKeyCode] = pressed;
    const std::uint16_t code = virtualCodes[xKeyCode];
    if (!isModifier(xKeyCode)) {
        return KeyEvent{pressed ? KeyEvent::Type::keyDown : KeyEvent::Type::keyUp, code, flags()};
    }
    if (pressed && wasHeld) {
        return std::nullopt; // auto-repeat changes no modifier
    }
    if (xKeyCode == capsLockKey) {
        if (!pressed) {
            return std::nullopt;
        }
        capsLockOn_ = !capsLockOn_;
    }
    return KeyEvent{KeyEvent::Type::flagsChanged, code, flags()};
}

} // namespace skrib
