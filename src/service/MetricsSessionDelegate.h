#pragma once

#include "platform/NetworkTiming.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace skrib {

/// Finished tasks' timings of one session, until their owner takes them. Thread-safe.
class MetricsSessionDelegate {
public:
    /// Records the timing of a finished task (replacing an earlier record for it). Records
    /// nobody takes are pruned once the table grows past `maxEntries`, oldest task first.
    void record(std::int64_t taskId, const NetworkTiming& timing);

    /// The timing of `taskId`, removed from the table; none when nothing was recorded.
    std::optional<NetworkTiming> take(std::int64_t taskId);

    std::size_t size() const;

    static constexpr std::size_t maxEntries = 64;

private:
    mutable std::mutex lock_;
    std::map<std::int64_t, NetworkTiming> timings_;
};

} // namespace skrib
