#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace skrib {

/// A piece of delayed work, or a repeating timer, that can be called off. Cancelling is
/// thread-safe and final: once `cancel()` returns, the work does not start again (a run already
/// in progress on the main thread finishes).
class WorkItem {
public:
    void cancel() { cancelled_.store(true, std::memory_order_release); }
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> cancelled_{false};
};

using WallClock = std::chrono::system_clock;

/// The program's main queue and clocks. All work runs on the main thread, one item at a time,
/// in the order it falls due (equal due times in the order they were scheduled). Every
/// operation may be called from any thread, also before the event loop runs; such work runs
/// once it does.
class Scheduler {
public:
    using Task = std::function<void()>;

    virtual ~Scheduler() = default;

    /// Runs `task` on the main thread as soon as possible.
    virtual void post(Task task) = 0;

    /// Runs `task` on the main thread `seconds` from now, unless the returned item is cancelled
    /// first. A negative delay counts as zero.
    virtual std::shared_ptr<WorkItem> postAfter(double seconds, Task task) = 0;

    /// Runs `task` on the main thread every `intervalSeconds`, the first time one interval from
    /// now, until the returned item is cancelled (also from inside `task`).
    virtual std::shared_ptr<WorkItem> scheduleRepeating(double intervalSeconds, Task task) = 0;

    /// The wall-clock time, for time stamps shown or sent.
    virtual WallClock::time_point now() const = 0;

    /// Seconds on a monotonic clock with an arbitrary origin, for measuring durations.
    virtual double absoluteTime() const = 0;
};

} // namespace skrib
