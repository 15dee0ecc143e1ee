#pragma once

#include <QIcon>
#include <QImage>

namespace skrib {

/// The program's icon, drawn in code so every size is sharp and the installed icon file and the
/// windows show the same picture: a dark rounded square with a green sound-wave glyph.
QImage appIconImage(int size);
/// The icon at the sizes desktops ask for.
QIcon appIcon();

} // namespace skrib
