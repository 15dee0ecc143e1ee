#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>

namespace skrib {

/// The few symbols the windows use, drawn in code: no icon theme is guaranteed on the machine.
enum class Glyph {
    house,      // the Home tab
    gear,       // the Settings tab
    infoCircle, // the About tab
    copy,       // two overlapping sheets: copy to the clipboard
    checkmark,  // done
};

/// `glyph` in `tint` on a transparent square of `size` pixels.
QImage glyphImage(Glyph glyph, const QColor& tint, int size);
/// `glyph` in `tint`, sharp at the usual icon sizes and on high-density screens.
QIcon glyphIcon(Glyph glyph, const QColor& tint);

} // namespace skrib
