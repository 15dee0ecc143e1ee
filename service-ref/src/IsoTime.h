#pragma once

#include <cstdint>
#include <string>

namespace skrib::service {

/// Milliseconds since 1970-01-01T00:00:00Z as ISO 8601 UTC with milliseconds, for example
/// 2025-01-02T03:04:05.678Z.
std::string formatIsoUtcMillis(std::int64_t millisSinceEpoch);

/// The UTC calendar day of an instant, for example 2025-01-02.
std::string utcDay(std::int64_t millisSinceEpoch);

/// The current wall-clock time in milliseconds since the epoch.
std::int64_t systemNowMillis();

} // namespace skrib::service
