#include "platform/x11/X11KeyTranslator.h"

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
    return xKeyCode >= 8 ? EvdevKeyTranslator::virtualKeyCode(xKeyCode - 8)
                         : static_cast<std::uint16_t>(ownCodeBase + xKeyCode);
}

bool X11KeyTranslator::delivers(std::uint16_t virtualKeyCode) {
    // X key codes 0 to 7 are never sent.
    for (unsigned code = 8; code < keyCodeCount; ++code) {
        if (X11KeyTranslator::virtualKeyCode(code) == virtualKeyCode) {
            return true;
        }
    }
    return false;
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
    const std::uint16_t code = virtualKeyCode(xKeyCode);
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
