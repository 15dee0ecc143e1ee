#include "service/MetricsSessionDelegate.h"

namespace skrib {

void MetricsSessionDelegate::record(std::int64_t taskId, const NetworkTiming& timing) {
    std::lock_guard lock(lock_);
    timings_.insert_or_assign(taskId, timing);
    // Task identifiers grow, so the smallest keys belong to the oldest tasks (warm-ups that
    // nobody asks about).
    while (timings_.size() > maxEntries) {
        timings_.erase(timings_.begin());
    }
}

std::optional<NetworkTiming> MetricsSessionDelegate::take(std::int64_t taskId) {
    std::lock_guard lock(lock_);
    const auto it = timings_.find(taskId);
    if (it == timings_.end()) {
        return std::nullopt;
    }
    NetworkTiming timing = it->second;
    timings_.erase(it);
    return timing;
}

std::size_t MetricsSessionDelegate::size() const {
    std::lock_guard lock(lock_);
    return timings_.size();
}

} // namespace skrib
