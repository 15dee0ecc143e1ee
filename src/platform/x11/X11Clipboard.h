#pragma once

#include <string>

namespace skrib {

/// The X session's CLIPBOARD and PRIMARY selections, owned and served by this program's Qt
/// connection for as long as the program runs (or until another program takes them).
class X11Clipboard {
public:
    /// Replaces the content of CLIPBOARD, or of PRIMARY, with plain UTF-8 text; nothing happens
    /// without a Qt GUI application.
    static void setText(const std::string& text, bool primary = false);
};

} // namespace skrib
