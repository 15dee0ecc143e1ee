#include "FakeScheduler.h"

#include <algorithm>

namespace skrib::testing {

void FakeScheduler::advance(double seconds) {
    const double end = absoluteTime() + std::max(0.0, seconds);
    for (;;) {
        decltype(entries_)::node_type next;
        {
            std::lock_guard lock(mutex_);
            std::erase_if(entries_, [](const auto& e) { return e.second.cancelled(); });
            if (entries_.empty() || entries_.begin()->first > end) {
                now_ = end;
                return;
            }
            next = entries_.extract(entries_.begin());
            now_ = std::max(now_, next.key());
            if (next.mapped().interval > 0.0) {
                // Re-armed before it runs, so a timer that cancels itself is simply dropped later.
                entries_.emplace(next.key() + next.mapped().interval, next.mapped());
            }
        }
        next.mapped().task();
    }
}

std::size_t FakeScheduler::pendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        entries_.begin(), entries_.end(), [](const auto& e) { return !e.second.cancelled(); }));
}

} // namespace skrib::testing
