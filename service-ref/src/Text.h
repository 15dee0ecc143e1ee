#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace skrib::service {

/// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past
/// U+10FFFF).
bool isValidUtf8(std::string_view text);

/// ASCII letters lowered; every other byte (including UTF-8 sequences) unchanged.
std::string lowerAscii(std::string_view text);

/// Spaces, tabs, line breaks, form feeds and vertical tabs.
bool isSpace(char c);

/// `text` without leading and trailing bytes for which `strip` holds.
std::string_view trim(std::string_view text, std::string_view strip = " \t");

/// The words of `text`, split on runs of white space.
std::vector<std::string> splitWords(std::string_view text);

/// White space collapsed to single spaces and trimmed; a space before , . ; : ! or ? is dropped.
std::string tidyWhitespace(std::string_view text);

/// Joins `words` with single spaces.
std::string joinWords(const std::vector<std::string>& words);

} // namespace skrib::service
