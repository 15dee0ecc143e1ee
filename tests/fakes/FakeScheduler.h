#pragma once

#include "platform/Scheduler.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace skrib::testing {

/// A main queue on virtual time: `advance` runs the work that falls due, in time order (ties in
/// scheduling order), each item seeing the clocks at its own due time. Work may be scheduled
/// from any thread; it runs on the thread that calls `advance`.
class FakeScheduler final : public Scheduler {
public:
    /// `wallStart` is the wall-clock time at virtual time 0.
    explicit FakeScheduler(WallClock::time_point wallStart = WallClock::time_point{} +
                                                             std::chrono::hours(24 * 365 * 56))
        : wallStart_(wallStart) {}

    void post(Task task) override { add(absoluteTime(), 0.0, nullptr, std::move(task)); }
    std::shared_ptr<WorkItem> postAfter(double seconds, Task task) override {
        auto item = std::make_shared<WorkItem>();
        add(absoluteTime() + std::max(0.0, seconds), 0.0, item, std::move(task));
        return item;
    }
    std::shared_ptr<WorkItem> scheduleRepeating(double intervalSeconds, Task task) override {
        auto item = std::make_shared<WorkItem>();
        const double interval = std::max(1e-6, intervalSeconds);
        add(absoluteTime() + interval, interval, item, std::move(task));
        return item;
    }
    WallClock::time_point now() const override {
        const std::chrono::duration<double> offset(absoluteTime());
        return wallStart_ + std::chrono::duration_cast<WallClock::duration>(offset);
    }
    double absoluteTime() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }

    /// Moves virtual time forward by `seconds`, running everything that falls due.
    void advance(double seconds);
    /// Runs what is due now without moving time (posted work, zero delays).
    void runUntilIdle() { advance(0.0); }
    /// Number of scheduled items not yet run or cancelled (repeating timers count once).
    std::size_t pendingCount() const;

private:
    struct Entry {
        double interval; // > 0 for repeating timers
        std::shared_ptr<WorkItem> item;
        Task task;
        bool cancelled() const { return item && item->isCancelled(); }
    };

    void add(double due, double interval, std::shared_ptr<WorkItem> item, Task task) {
        std::lock_guard lock(mutex_);
        entries_.emplace(due, Entry{interval, std::move(item), std::move(task)});
    }

    mutable std::mutex mutex_;
    double now_ = 0.0;
    std::multimap<double, Entry> entries_; // by due time; a new entry goes after equal ones
    WallClock::time_point wallStart_;
};

} // namespace skrib::testing
