#pragma once

#include "platform/Defaults.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skrib {

/// The keys that can start and stop dictation: one of six modifier keys, Fn (where the desktop
/// delivers it), or one custom key recorded in the settings. Key codes and flag masks are the
/// program's virtual key codes (KeyboardHook.h); labels are the keys' Linux names.
class HotkeyOption {
public:
    enum class Case {
        rightCmd,
        leftCmd,
        rightOption,
        leftOption,
        rightControl,
        leftControl,
        fn,
        custom
    };

    constexpr HotkeyOption(Case value)
        : value_(value) {} // NOLINT: used like an enumeration

    /// The option with exactly this raw value, or none.
    static std::optional<HotkeyOption> fromRawValue(std::string_view raw);
    /// All eight options, in menu order.
    static const std::array<HotkeyOption, 8>& allCases();
    /// Right Ctrl: many PC keyboards have no right Super key, and desktops bind a lone Super tap.
    static constexpr HotkeyOption defaultOption() { return Case::rightControl; }
    /// The saved choice, or the default when none (or an unknown one) is saved.
    static HotkeyOption stored(const Defaults& defaults);
    /// Records the custom key (its code, flags and label); does not choose it.
    static void saveCustomKey(Defaults& defaults, std::uint16_t keyCode, std::uint64_t flags,
                              const std::string& name);

    Case value() const { return value_; }
    std::string_view rawValue() const;
    /// For `custom` these read the settings at each call.
    std::uint16_t keyCode(const Defaults& defaults) const;
    std::uint64_t flagMask(const Defaults& defaults) const;
    std::string displayName(const Defaults& defaults) const;
    /// Saves this option as the choice.
    void save(Defaults& defaults) const;

    friend bool operator==(HotkeyOption, HotkeyOption) = default;

private:
    Case value_;
};

} // namespace skrib
