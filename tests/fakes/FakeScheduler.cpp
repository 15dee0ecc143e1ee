#include "FakeScheduler.h"

#include <algorithm>

namespace skrib::testing {

void FakeScheduler::advance(double seconds) {
    double end = 0.0;
    {
        std::lock_guard lock(mutex_);
        end = now_ + std::max(0.0, seconds);
    }
    for (;;) {
        Entry entry;
        {
            std::lock_guard lock(mutex_);
            std::erase_if(entries_, [](const Entry& e) { return e.item && e.item->isCancelled(); });
            const auto next = std::min_element(
                entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
                    return a.due < b.due || (a.due == b.due && a.sequence < b.sequence);
                });
            if (next == entries_.end() || next->due > end) {
                now_ = end;
                return;
            }
            entry = std::move(*next);
            entries_.erase(next);
            now_ = std::max(now_, entry.due);
        }
        if (entry.interval > 0.0) {
            // Re-arm before running, so a timer that cancels itself is simply dropped later.
            add(entry.due + entry.interval, entry.interval, entry.item, entry.task);
        }
        entry.task();
    }
}

std::size_t FakeScheduler::pendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(),
                      [](const Entry& e) { return !(e.item && e.item->isCancelled()); }));
}

} // namespace skrib::testing
