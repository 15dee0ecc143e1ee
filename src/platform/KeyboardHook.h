#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace skrib {

/// One keyboard event in the program's key vocabulary: virtual key codes and modifier flag
/// masks are the program's own (54 right Command/Super, 53 Escape, 36 Return, 9 V, 96 F5…),
/// whatever the desktop reports.
struct KeyEvent {
    enum class Type : int { keyDown = 10, keyUp = 11, flagsChanged = 12 };
    Type type = Type::keyDown;
    std::uint16_t keyCode = 0;
    /// The modifiers held after this event (for flags-changed: including the key's own).
    std::uint64_t flags = 0;
    /// When the key went down or up, in milliseconds of the desktop's own clock, which starts
    /// anywhere and wraps at 2^32: only the difference between two events' times means
    /// something. None when the desktop does not say.
    std::optional<std::uint32_t> time = std::nullopt;
};

namespace keyFlags {
inline constexpr std::uint64_t capsLock = 0x10000;
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t option = 0x80000;   // Alt
inline constexpr std::uint64_t command = 0x100000; // Super
inline constexpr std::uint64_t function = 0x800000;
} // namespace keyFlags

namespace keyCodes {
inline constexpr std::uint16_t v = 9;
inline constexpr std::uint16_t returnKey = 36;
inline constexpr std::uint16_t escape = 53;
inline constexpr std::uint16_t rightCommand = 54;
inline constexpr std::uint16_t leftCommand = 55;
inline constexpr std::uint16_t leftShift = 56;
inline constexpr std::uint16_t capsLock = 57;
inline constexpr std::uint16_t leftOption = 58;
inline constexpr std::uint16_t leftControl = 59;
inline constexpr std::uint16_t rightShift = 60;
inline constexpr std::uint16_t rightOption = 61;
inline constexpr std::uint16_t rightControl = 62;
inline constexpr std::uint16_t function = 63;
inline constexpr std::uint16_t f5 = 96;
} // namespace keyCodes

/// Watches every keyboard event of the user's session (a global hook). Events arrive on the
/// main thread. Watching does not take keys away from other applications; only a grabbed
/// Escape is kept from them.
class KeyboardHook {
public:
    virtual ~KeyboardHook() = default;

    /// Whether the desktop lets this program watch the keyboard and send synthetic keys.
    virtual bool isTrusted() = 0;
    /// Asks the desktop (or the user) for that permission, where there is a way to ask.
    virtual void requestTrust() = 0;
    /// Whether the hook can ever deliver the key (a virtual key code): some keys never reach
    /// the programs of a desktop, and cannot be a hotkey there.
    virtual bool canSee(std::uint16_t keyCode) const = 0;
    /// Starts delivering events to `handler`; false when the hook cannot be installed.
    virtual bool start(std::function<void(const KeyEvent&)> handler) = 0;
    virtual void stop() = 0;
    /// While grabbed, Escape presses still reach the handler but no other application.
    virtual void setEscapeGrabbed(bool grabbed) = 0;
};

} // namespace skrib
