#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace skrib {

/// `value` as compact JSON; invalid UTF-8 in strings is replaced, never thrown on.
inline std::string compactJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

/// `body` parsed as a JSON object, or none (malformed text, or a top-level array or scalar).
inline std::optional<nlohmann::json> jsonObject(const std::string& body) {
    nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return std::nullopt;
    }
    return parsed;
}

/// The string member `key` of `object`, or none when it is missing or not a string.
inline std::optional<std::string> jsonString(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? std::optional(it->get<std::string>())
                                                 : std::nullopt;
}

} // namespace skrib
