#pragma once

#include <QColor>
#include <QString>

namespace skrib {

/// The colour written as a hex string: "#RRGGBB" is opaque, "AARRGGBB" carries alpha first, and
/// any other length is read as one hexadecimal number split into alpha, red, green and blue
/// bytes (so "#FFF" is a transparent blue-green, not white). Characters that are neither
/// letters nor digits are trimmed from both ends first. Text that is not hexadecimal gives
/// transparent black. Always yields a colour, in sRGB.
QColor hexColor(const QString& hex);

} // namespace skrib
