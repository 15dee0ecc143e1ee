#pragma once

#include "platform/Scheduler.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace skrib::testing {

/// A main queue on virtual time: `advance` runs the work that falls due, in time order (ties in
/// scheduling order), each item seeing the clocks at its own due time. Work may be scheduled
/// from any thread; it runs on the thread that calls `advance`.
class FakeScheduler final : public Scheduler {
public:
    /// `wallStart` is the wall-clock time at virtual time 0.
    explicit FakeScheduler(WallClock::time_point wallStart = WallClock::time_point{} +
                                                             std::chrono::hours(24 * 365 * 56));

    void post(Task task) override;
    std::shared_ptr<WorkItem> postAfter(double seconds, Task task) override;
    std::shared_ptr<WorkItem> scheduleRepeating(double intervalSeconds, Task task) override;
    WallClock::time_point now() const override;
    double absoluteTime() const override;

    /// Moves virtual time forward by `seconds`, running everything that falls due.
    void advance(double seconds);
    /// Runs what is due now without moving time (posted work, zero delays).
    void runUntilIdle() { advance(0.0); }
    /// Number of scheduled items not yet run or cancelled (repeating timers count once).
    std::size_t pendingCount() const;

private:
    struct Entry {
        double due;
        std::uint64_t sequence;
        double interval; // > 0 for repeating timers
        std::shared_ptr<WorkItem> item;
        Task task;
    };

    void add(double due, double interval, std::shared_ptr<WorkItem> item, Task task);

    mutable std::mutex mutex_;
    double now_ = 0.0;
    std::uint64_t nextSequence_ = 0;
    std::vector<Entry> entries_;
    WallClock::time_point wallStart_;
};

} // namespace skrib::testing
