#pragma once

#include <string>

namespace skrib {

/// The shortest text that reads back as the same double, with ".0" added to whole numbers
/// (48000 → "48000.0", 44100.5 → "44100.5").
std::string describeDouble(double value);

/// printf-style fixed notation, e.g. fixed(0.75, 1) → "0.8".
std::string fixed(double value, int decimals);

/// The first `count` characters (code points) of UTF-8 text.
std::string utf8Prefix(const std::string& text, std::size_t count);

} // namespace skrib
