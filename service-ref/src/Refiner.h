#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace skrib::service {

/// How a transcript is formatted. "custom" keeps the device's own prompt on record but formats
/// like "minimal".
enum class StylePreset { professional, casual, minimal, custom };

/// The preset for an id ("professional", "casual", "minimal", "custom"); nothing for any other
/// text (ids are case-sensitive).
std::optional<StylePreset> parseStylePreset(std::string_view id);

/// The id of a preset.
std::string_view stylePresetId(StylePreset preset);

/// The style a device gets until it chooses one.
inline constexpr StylePreset defaultStylePreset = StylePreset::professional;

/// Formats a recognised transcript in `preset`:
/// - every style: white space collapsed and trimmed, no space before , . ; : ! ?
/// - professional: each sentence starts with a capital, "i" (and "i'm", "i'll", ...) becomes
///   "I", and the text ends with . ! or ? (a trailing , ; or : becomes a full stop);
/// - casual: ASCII letters lowered and a single trailing full stop removed (an ellipsis stays);
/// - minimal and custom: nothing more.
std::string refine(std::string_view text, StylePreset preset);

} // namespace skrib::service
