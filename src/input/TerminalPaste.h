#pragma once

#include "platform/Desktop.h"

#include <string_view>

namespace skrib {

/// The chord that pastes into the application of this name (on X its window's class, in any
/// case): the terminal emulator's own where it is a known one, Ctrl+V everywhere else.
PasteKeys pasteKeysFor(std::string_view applicationName);

/// The chord as the log shows it: "Ctrl+V", "Ctrl+Shift+V", "Shift+Insert".
std::string_view pasteKeysName(PasteKeys keys);

} // namespace skrib
