#include "ui/HexColor.h"

#include <cstdint>
#include <limits>

namespace skrib {
namespace {

int hexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') {
        return u - u'0';
    }
    if (u >= u'a' && u <= u'f') {
        return u - u'a' + 10;
    }
    if (u >= u'A' && u <= u'F') {
        return u - u'A' + 10;
    }
    return -1;
}

// Reads a leading hexadecimal number the way a text scanner does: an optional "0x" prefix,
// then as many hex digits as follow; too large a number saturates at the maximum.
std::uint64_t scanHex(const QString& text) {
    qsizetype i = 0;
    if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X') &&
        hexDigit(text[2]) >= 0) {
        i = 2;
    }
    std::uint64_t value = 0;
    bool overflow = false;
    for (; i < text.size(); ++i) {
        const int digit = hexDigit(text[i]);
        if (digit < 0) {
            break;
        }
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) {
            overflow = true;
        }
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return overflow ? std::numeric_limits<std::uint64_t>::max() : value;
}

} // namespace

QColor hexColor(const QString& hex) {
    qsizetype begin = 0;
    qsizetype end = hex.size();
    while (begin < end && !hex[begin].isLetterOrNumber()) {
        ++begin;
    }
    while (end > begin && !hex[end - 1].isLetterOrNumber()) {
        --end;
    }
    QString digits = hex.mid(begin, end - begin);
    if (digits.size() == 6) {
        digits.prepend(QStringLiteral("FF"));
    }
    const std::uint64_t number = scanHex(digits);
    const auto byte = [number](int shift) { return static_cast<int>((number >> shift) & 0xFF); };
    return QColor::fromRgb(byte(16), byte(8), byte(0), byte(24));
}

} // namespace skrib
