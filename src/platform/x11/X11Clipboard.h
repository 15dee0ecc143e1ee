#pragma once

#include <string>

namespace skrib {

/// The X session's CLIPBOARD selection, owned and served by this program's Qt connection for
/// as long as the program runs (or until another program takes it).
class X11Clipboard {
public:
    /// Replaces the content with plain UTF-8 text; nothing happens without a Qt GUI application.
    static void setText(const std::string& text);
};

} // namespace skrib
