#pragma once

#include <string>

namespace skrib {

/// The user's home directory: $HOME when it is set and not empty, else the password database's
/// entry for the current user, else the empty string.
std::string homeDirectory();

} // namespace skrib
