#pragma once

#include "input/EvdevKeyTranslator.h"
#include "platform/KeyboardHook.h"

#include <bitset>
#include <cstdint>
#include <optional>

namespace skrib {

/// Turns raw X key presses and releases, which carry no modifier state, into the program's key
/// events: virtual key codes by key position (X key codes are the kernel's + 8, with the kernel's
/// key names of `EvdevKeyTranslator`), so the keyboard layout does not matter, and modifier flags
/// from the modifier keys held.
class X11KeyTranslator {
public:
    /// Keys the program's vocabulary has no name for get `ownCodeBase` + their X key code.
    static constexpr std::uint16_t ownCodeBase = EvdevKeyTranslator::ownCodeBase;
    /// X key codes run from 8 to 255.
    static constexpr unsigned keyCodeCount = 256;

    /// The virtual key code of an X key code.
    static std::uint16_t virtualKeyCode(unsigned xKeyCode);
    /// Whether some X key code has this virtual key code. Fn has none: keyboards handle it
    /// themselves, or the kernel reports it with a code beyond X's 255.
    static bool delivers(std::uint16_t virtualKeyCode);
    /// Whether the key is Shift, Ctrl, Alt (AltGr included), Super or Caps Lock.
    static bool isModifier(unsigned xKeyCode);

    /// Starts over from the keys held now and the Caps Lock state.
    void reset(const std::bitset<keyCodeCount>& heldKeys, bool capsLockOn);
    /// The event for one raw press or release. None for a release of a key that is not down,
    /// for a repeated press of a modifier key (auto-repeat) and for the release of Caps Lock.
    std::optional<KeyEvent> translate(unsigned xKeyCode, bool pressed);
    /// The modifiers in effect now.
    std::uint64_t flags() const;

private:
    std::bitset<keyCodeCount> held_;
    bool capsLockOn_ = false;
};

} // namespace skrib
