#include "platform/Defaults.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace skrib {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::optional<std::int64_t> parseInteger(const std::string& text) {
    const std::string t = trimmed(text);
    std::int64_t result = 0;
    const char* begin = t.data();
    const char* end = t.data() + t.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [ptr, ec] = std::from_chars(begin, end, result);
    if (ec != std::errc() || ptr != end || begin == end) {
        return std::nullopt;
    }
    return result;
}

std::optional<double> parseDouble(const std::string& text) {
    const std::string t = trimmed(text);
    double result = 0;
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), result);
    if (ec != std::errc() || ptr != t.data() + t.size() || t.empty() || !std::isfinite(result)) {
        return std::nullopt;
    }
    return result;
}

std::optional<std::int64_t> doubleToInteger(double d) {
    // Truncates like a C conversion, but only where the result is defined.
    if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(d);
}

} // namespace

std::optional<bool> Defaults::toBool(const DefaultsValue& value) {
    return std::visit(Overloaded{
                          [](bool b) -> std::optional<bool> { return b; },
                          [](std::int64_t i) -> std::optional<bool> { return i != 0; },
                          [](double d) -> std::optional<bool> { return d != 0.0; },
                          [](const std::string& s) -> std::optional<bool> {
                              const std::string t = trimmed(s);
                              if (t == "true" || t == "YES" || t == "yes") {
                                  return true;
                              }
                              if (t == "false" || t == "NO" || t == "no") {
                                  return false;
                              }
                              if (const auto i = parseInteger(t)) {
                                  return *i != 0;
                              }
                              return std::nullopt;
                          },
                      },
                      value);
}

std::optional<std::int64_t> Defaults::toInteger(const DefaultsValue& value) {
    return std::visit(Overloaded{
                          [](bool b) -> std::optional<std::int64_t> { return b ? 1 : 0; },
                          [](std::int64_t i) -> std::optional<std::int64_t> { return i; },
                          [](double d) { return doubleToInteger(d); },
                          [](const std::string& s) -> std::optional<std::int64_t> {
                              if (const auto i = parseInteger(s)) {
                                  return i;
                              }
                              if (const auto d = parseDouble(s)) {
                                  return doubleToInteger(*d);
                              }
                              if (const auto b = toBool(DefaultsValue(s))) {
                                  return *b ? 1 : 0;
                              }
                              return std::nullopt;
                          },
                      },
                      value);
}

std::optional<double> Defaults::toDouble(const DefaultsValue& value) {
    return std::visit(
        Overloaded{
            [](bool b) -> std::optional<double> { return b ? 1.0 : 0.0; },
            [](std::int64_t i) -> std::optional<double> { return static_cast<double>(i); },
            [](double d) -> std::optional<double> { return d; },
            [](const std::string& s) { return parseDouble(s); },
        },
        value);
}

std::string Defaults::toString(const DefaultsValue& value) {
    return std::visit(Overloaded{
                          [](bool b) -> std::string { return b ? "true" : "false"; },
                          [](std::int64_t i) { return std::to_string(i); },
                          [](double d) {
                              char buffer[32];
                              std::snprintf(buffer, sizeof buffer, "%.17g", d);
                              return std::string(buffer);
                          },
                          [](const std::string& s) { return s; },
                      },
                      value);
}

std::optional<bool> Defaults::boolValue(const std::string& key) const {
    const auto v = value(key);
    return v ? toBool(*v) : std::nullopt;
}

std::optional<std::int64_t> Defaults::integerValue(const std::string& key) const {
    const auto v = value(key);
    return v ? toInteger(*v) : std::nullopt;
}

std::optional<double> Defaults::doubleValue(const std::string& key) const {
    const auto v = value(key);
    return v ? toDouble(*v) : std::nullopt;
}

std::optional<std::string> Defaults::stringValue(const std::string& key) const {
    const auto v = value(key);
    return v ? std::optional<std::string>(toString(*v)) : std::nullopt;
}

} // namespace skrib
