#include "input/EvdevKeyTranslator.h"

#include <algorithm>
#include <array>
#include <utility>

namespace skrib {
namespace {

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
    // Kept inside the keyboard on most; some report it.
    {KEY_FN, keyCodes::function},
};

constexpr auto virtualCodes = [] {
    std::array<std::uint16_t, EvdevKeyTranslator::keyCodeCount> codes{};
    for (unsigned code = 0; code < codes.size(); ++code) {
        codes[code] = static_cast<std::uint16_t>(EvdevKeyTranslator::ownCodeBase + code + 8);
    }
    for (const auto& [code, virtualCode] : namedKeys) {
        codes[code] = virtualCode;
    }
    return codes;
}();

constexpr unsigned modifierKeys[] = {KEY_LEFTCTRL,   KEY_RIGHTCTRL, KEY_LEFTSHIFT,
                                     KEY_RIGHTSHIFT, KEY_LEFTALT,   KEY_RIGHTALT,
                                     KEY_LEFTMETA,   KEY_RIGHTMETA, KEY_FN};

} // namespace

std::uint16_t EvdevKeyTranslator::virtualKeyCode(unsigned code) {
    return code < keyCodeCount ? virtualCodes[code]
                               : static_cast<std::uint16_t>(ownCodeBase + code + 8);
}

std::uint64_t EvdevKeyTranslator::modifierFlag(unsigned code) {
    switch (code) {
    case KEY_LEFTCTRL:
    case KEY_RIGHTCTRL:
        return keyFlags::control;
    case KEY_LEFTSHIFT:
    case KEY_RIGHTSHIFT:
        return keyFlags::shift;
    case KEY_LEFTALT:
    case KEY_RIGHTALT:
        return keyFlags::option;
    case KEY_LEFTMETA:
    case KEY_RIGHTMETA:
        return keyFlags::command;
    case KEY_FN:
        return keyFlags::function;
    default:
        return 0;
    }
}

std::uint32_t EvdevKeyTranslator::milliseconds(const input_event& event) {
    // Unsigned arithmetic: the result is the time modulo 2^32 ms.
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(event.input_event_sec) * 1000 +
                                      static_cast<std::uint64_t>(event.input_event_usec) / 1000);
}

void EvdevKeyTranslator::addKeyboard(int keyboard, const Keys& has, const Keys& holds) {
    keyboards_[keyboard] = {has, holds};
}

std::vector<KeyEvent> EvdevKeyTranslator::removeKeyboard(int keyboard) {
    const auto found = keyboards_.find(keyboard);
    if (found == keyboards_.end()) {
        return {};
    }
    // Other keys first, while the modifiers that went with them still count.
    Keys& holds = found->second.holds;
    std::vector<KeyEvent> events;
    for (const bool modifiers : {false, true}) {
        for (unsigned code = 0; code < keyCodeCount; ++code) {
            if (holds[code] && (modifierFlag(code) != 0) == modifiers) {
                holds[code] = false;
                if (auto event = heldAnywhere(code) ? std::nullopt : released(code, std::nullopt)) {
                    events.push_back(*event);
                }
            }
        }
    }
    keyboards_.erase(found);
    return events;
}

bool EvdevKeyTranslator::heldAnywhere(unsigned code) const {
    return std::any_of(keyboards_.begin(), keyboards_.end(),
                       [code](const auto& keyboard) { return keyboard.second.holds[code]; });
}

std::uint64_t EvdevKeyTranslator::flags() const {
    std::uint64_t flags = capsLockOn_ ? keyFlags::capsLock : 0;
    for (const unsigned code : modifierKeys) {
        if (heldAnywhere(code)) {
            flags |= modifierFlag(code);
        }
    }
    return flags;
}

bool EvdevKeyTranslator::canSee(std::uint16_t virtualKeyCode) const {
    for (unsigned code = 0; code < keyCodeCount; ++code) {
        if (virtualCodes[code] == virtualKeyCode &&
            (keyboards_.empty() ||
             std::any_of(keyboards_.begin(), keyboards_.end(),
                         [code](const auto& keyboard) { return keyboard.second.has[code]; }))) {
            return true;
        }
    }
    return false;
}

std::optional<KeyEvent> EvdevKeyTranslator::released(unsigned code,
                                                     std::optional<std::uint32_t> time) const {
    if (code == KEY_CAPSLOCK) {
        return std::nullopt; // the lock stays as it is
    }
    const auto type =
        modifierFlag(code) != 0 ? KeyEvent::Type::flagsChanged : KeyEvent::Type::keyUp;
    return KeyEvent{type, virtualCodes[code], flags(), time};
}

std::optional<KeyEvent> EvdevKeyTranslator::translate(int keyboard, const input_event& event) {
    if (event.type == EV_LED && event.code == LED_CAPSL) {
        capsLockOn_ = event.value != 0;
        return std::nullopt;
    }
    const auto found = keyboards_.find(keyboard);
    if (event.type != EV_KEY || event.code >= keyCodeCount || found == keyboards_.end()) {
        return std::nullopt;
    }
    const unsigned code = event.code;
    const std::uint32_t time = milliseconds(event);
    Keys& holds = found->second.holds;
    if (event.value == 0) {
        if (!holds[code]) {
            return std::nullopt; // a second release
        }
        holds[code] = false;
        if (heldAnywhere(code)) {
            return std::nullopt; // still down on another keyboard
        }
        return released(code, time);
    }
    const bool wasDown = heldAnywhere(code);
    holds[code] = true;
    const bool lock = code == KEY_CAPSLOCK;
    if (modifierFlag(code) == 0 && !lock) {
        // A press, or auto-repeat: another key down, as on X.
        return KeyEvent{KeyEvent::Type::keyDown, virtualCodes[code], flags(), time};
    }
    if (wasDown) {
        return std::nullopt; // auto-repeat, or a second keyboard: no modifier changes
    }
    if (lock) {
        capsLockOn_ = !capsLockOn_; // the light follows, and then rules
    }
    return KeyEvent{KeyEvent::Type::flagsChanged, virtualCodes[code], flags(), time};
}

} // namespace skrib
