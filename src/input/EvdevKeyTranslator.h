#pragma once

#include "platform/KeyboardHook.h"

#include <bitset>
#include <cstdint>
#include <linux/input.h>
#include <map>
#include <optional>
#include <vector>

namespace skrib {

/// Turns the input events of any number of keyboards, numbered as the Linux kernel numbers keys
/// (linux/input-event-codes.h), into the program's key events: virtual key codes by key position,
/// so the keyboard layout does not matter, and modifier flags from the modifier keys held on any
/// of the keyboards.
class EvdevKeyTranslator {
public:
    /// Keys the program's vocabulary has no name for get `ownCodeBase` + their X key code (the
    /// kernel's code + 8), so that a key has the same virtual key code on every desktop.
    static constexpr std::uint16_t ownCodeBase = 0x1000;
    static constexpr unsigned keyCodeCount = KEY_CNT;
    using Keys = std::bitset<keyCodeCount>;

    /// The virtual key code of a kernel key code.
    static std::uint16_t virtualKeyCode(unsigned code);
    /// The modifier the key holds down (Shift, Ctrl, Alt, Super, Fn); 0 for any other key, Caps
    /// Lock included.
    static std::uint64_t modifierFlag(unsigned code);
    /// An event's time in milliseconds, wrapped at 2^32 as `KeyEvent::time` is.
    static std::uint32_t milliseconds(const input_event& event);

    /// A keyboard joins with the keys it `has` and those it `holds` already: these count as down
    /// (for the flags, and their releases are delivered) without an event of their own.
    void addKeyboard(int keyboard, const Keys& has, const Keys& holds = {});
    /// The keyboard has gone: the releases of the keys that only it held, without times.
    std::vector<KeyEvent> removeKeyboard(int keyboard);
    /// Sets the Caps Lock state, as the desktop shows it on the keyboards' lights.
    void setCapsLock(bool on) { capsLockOn_ = on; }

    /// The event for one input event of a keyboard (value 1 press, 0 release, 2 auto-repeat).
    /// A key down on several keyboards is down until the last of them releases it. None for a
    /// stray release, for a press or repeat of a modifier that is down already (on any keyboard),
    /// for the release of Caps Lock and for anything but keys; the Caps Lock light sets the lock.
    std::optional<KeyEvent> translate(int keyboard, const input_event& event);
    /// The modifiers in effect now.
    std::uint64_t flags() const;
    /// Whether a keyboard has a key with this virtual key code; without any keyboard, whether
    /// some key has it (Fn: keyboards that handle it themselves have no key code for it).
    bool canSee(std::uint16_t virtualKeyCode) const;

private:
    struct Keyboard {
        Keys has;
        Keys holds;
    };
    bool heldAnywhere(unsigned code) const;
    std::optional<KeyEvent> released(unsigned code, std::optional<std::uint32_t> time) const;

    std::map<int, Keyboard> keyboards_;
    bool capsLockOn_ = false;
};

} // namespace skrib
