#include "input/HotkeyOption.h"

#include "platform/KeyboardHook.h"

namespace skrib {
namespace {

struct Row {
    HotkeyOption::Case value;
    std::string_view raw;
    std::uint16_t keyCode;
    std::uint64_t flagMask;
    std::string_view label;
};

constexpr std::array<Row, 7> rows{{
    {HotkeyOption::Case::rightCmd, "rightCmd", keyCodes::rightCommand, keyFlags::command,
     "Right Super"},
    {HotkeyOption::Case::leftCmd, "leftCmd", keyCodes::leftCommand, keyFlags::command,
     "Left Super"},
    {HotkeyOption::Case::rightOption, "rightOption", keyCodes::rightOption, keyFlags::option,
     "Right Alt"},
    {HotkeyOption::Case::leftOption, "leftOption", keyCodes::leftOption, keyFlags::option,
     "Left Alt"},
    {HotkeyOption::Case::rightControl, "rightControl", keyCodes::rightControl, keyFlags::control,
     "Right Ctrl"},
    {HotkeyOption::Case::leftControl, "leftControl", keyCodes::leftControl, keyFlags::control,
     "Left Ctrl"},
    {HotkeyOption::Case::fn, "fn", keyCodes::function, keyFlags::function, "Fn"},
}};

const Row* row(HotkeyOption::Case value) {
    for (const auto& r : rows) {
        if (r.value == value) {
            return &r;
        }
    }
    return nullptr; // custom
}

} // namespace

std::optional<HotkeyOption> HotkeyOption::fromRawValue(std::string_view raw) {
    for (const auto& r : rows) {
        if (r.raw == raw) {
            return HotkeyOption(r.value);
        }
    }
    if (raw == "custom") {
        return HotkeyOption(Case::custom);
    }
    return std::nullopt;
}

const std::array<HotkeyOption, 8>& HotkeyOption::allCases() {
    static const std::array<HotkeyOption, 8> all{
        Case::rightCmd,     Case::leftCmd,     Case::rightOption, Case::leftOption,
        Case::rightControl, Case::leftControl, Case::fn,          Case::custom};
    return all;
}

HotkeyOption HotkeyOption::stored(const Defaults& defaults) {
    if (const auto raw = defaults.stringValue("hotkeyOption")) {
        if (const auto option = fromRawValue(*raw)) {
            return *option;
        }
    }
    return defaultOption();
}

void HotkeyOption::saveCustomKey(Defaults& defaults, std::uint16_t keyCode, std::uint64_t flags,
                                 const std::string& name) {
    defaults.set("customHotkeyCode", DefaultsValue(static_cast<std::int64_t>(keyCode)));
    defaults.set("customHotkeyFlags", DefaultsValue(static_cast<std::int64_t>(flags)));
    defaults.set("customHotkeyName", DefaultsValue(name));
}

std::string_view HotkeyOption::rawValue() const {
    const Row* r = row(value_);
    return r != nullptr ? r->raw : "custom";
}

std::uint16_t HotkeyOption::keyCode(const Defaults& defaults) const {
    if (const Row* r = row(value_)) {
        return r->keyCode;
    }
    // A stored code outside the key-code range is no key at all (0: nothing recorded).
    const auto code = defaults.integerValue("customHotkeyCode").value_or(0);
    return code >= 0 && code <= 0xFFFF ? static_cast<std::uint16_t>(code) : 0;
}

std::uint64_t HotkeyOption::flagMask(const Defaults& defaults) const {
    if (const Row* r = row(value_)) {
        return r->flagMask;
    }
    const auto flags = defaults.integerValue("customHotkeyFlags").value_or(0);
    return flags >= 0 ? static_cast<std::uint64_t>(flags) : 0;
}

std::string HotkeyOption::displayName(const Defaults& defaults) const {
    if (const Row* r = row(value_)) {
        return std::string(r->label);
    }
    const auto name = defaults.stringValue("customHotkeyName");
    return name && !name->empty() ? *name : std::string("Custom Key");
}

void HotkeyOption::save(Defaults& defaults) const {
    defaults.set("hotkeyOption", DefaultsValue(std::string(rawValue())));
}

} // namespace skrib
