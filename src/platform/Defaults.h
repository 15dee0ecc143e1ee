#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace skrib {

/// A value kept in the user-defaults store.
using DefaultsValue = std::variant<bool, std::int64_t, double, std::string>;

/// The user-defaults store: small settings under plain keys, kept across runs. Stores may keep
/// values as text, so the typed reads convert where the meaning is clear ("true" reads as a
/// boolean, "42" as an integer, 7 as the string "7") and answer "absent" where it is not.
/// Callable from any thread.
class Defaults {
public:
    virtual ~Defaults() = default;

    /// The stored value, or none when the key was never written (or was removed).
    virtual std::optional<DefaultsValue> value(const std::string& key) const = 0;
    virtual void set(const std::string& key, const DefaultsValue& value) = 0;
    virtual void remove(const std::string& key) = 0;

    void set(const std::string& key, const char* text) {
        set(key, DefaultsValue(std::string(text)));
    }
    void set(const std::string& key, int number) {
        set(key, DefaultsValue(static_cast<std::int64_t>(number)));
    }

    std::optional<bool> boolValue(const std::string& key) const;
    std::optional<std::int64_t> integerValue(const std::string& key) const;
    std::optional<double> doubleValue(const std::string& key) const;
    std::optional<std::string> stringValue(const std::string& key) const;

    /// The conversions behind the typed reads, for adapters and tests.
    static std::optional<bool> toBool(const DefaultsValue& value);
    static std::optional<std::int64_t> toInteger(const DefaultsValue& value);
    static std::optional<double> toDouble(const DefaultsValue& value);
    static std::string toString(const DefaultsValue& value);
};

} // namespace skrib
