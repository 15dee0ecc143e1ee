#pragma once

#include <string>

namespace skrib {

/// Whether `url` is an absolute http(s) URL with a host and no spaces or control characters.
bool isValidHttpURL(const std::string& url);

} // namespace skrib
