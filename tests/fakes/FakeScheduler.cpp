#include "FakeScheduler.h"

#include <algorithm>

namespace skrib::testing {

FakeScheduler::FakeScheduler(WallClock::time_point wallStart)
    : wallStart_(wallStart) {}

void FakeScheduler::add(double due, double interval, std::shared_ptr<WorkItem> item, Task task) {
    std::lock_guard lock(mutex_);
    entries_.push_back(Entry{due, nextSequence_++, interval, std::move(item), std::move(task)});
}

void FakeScheduler::post(Task task) {
    add(absoluteTime(), 0.0, nullptr, std::move(task));
}

std::shared_ptr<WorkItem> FakeScheduler::postAfter(double seconds, Task task) {
    auto item = std::make_shared<WorkItem>();
    add(absoluteTime() + std::max(0.0, seconds), 0.0, item, std::move(task));
    return item;
}

std::shared_ptr<WorkItem> FakeScheduler::scheduleRepeating(double intervalSeconds, Task task) {
    auto item = std::make_shared<WorkItem>();
    const double interval = std::max(1e-6, intervalSeconds);
    add(absoluteTime() + interval, interval, item, std::move(task));
    return item;
}

WallClock::time_point FakeScheduler::now() const {
    const auto offset = std::chrono::duration_cast<WallClock::duration>(
        std::chrono::duration<double>(absoluteTime()));
    return wallStart_ + offset;
}

double FakeScheduler::absoluteTime() const {
    std::lock_guard lock(mutex_);
    return now_;
}

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
