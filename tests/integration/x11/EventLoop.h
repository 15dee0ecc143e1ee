#pragma once

#include <chrono>
#include <functional>

namespace skrib::testing {

/// Runs the Qt event loop until `condition` holds (checked every few milliseconds) or the time
/// is up; says whether it held. The program's own X work (socket notifiers, the clipboard it
/// serves) goes on meanwhile.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

} // namespace skrib::testing
