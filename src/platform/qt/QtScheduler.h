#pragma once

#include "platform/Scheduler.h"

#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

class QObject;
class QTimer;

namespace skrib {

/// The main queue on Qt's event loop: one queue ordered by due time and scheduling order, and
/// one timer for its earliest work. Work posted before `start()` (for example by the first log
/// line, before the application object exists) is kept and runs once `start()` has run; delays
/// count from the moment the work was posted. After `stop()` new work is dropped.
class QtScheduler final : public Scheduler {
public:
    QtScheduler();
    ~QtScheduler() override;

    /// Binds to the running application's main thread. Call on the main thread once the
    /// QCoreApplication exists.
    void start();
    /// Drops pending work; later posts are ignored. Call on the main thread.
    void stop();

    void post(Task task) override;
    std::shared_ptr<WorkItem> postAfter(double seconds, Task task) override;
    std::shared_ptr<WorkItem> scheduleRepeating(double intervalSeconds, Task task) override;
    WallClock::time_point now() const override;
    double absoluteTime() const override;

    /// Seconds on the monotonic clock that `absoluteTime()` reads.
    static double absoluteClock();

private:
    struct Due {
        double time;            // absolute time
        std::uint64_t sequence; // scheduling order, for equal times
        auto operator<=>(const Due&) const = default;
    };
    struct Pending {
        double interval; // > 0 for repeating work
        std::shared_ptr<WorkItem> item;
        Task task;
    };

    void enqueue(double dueTime, Pending pending);
    void runDue();         // on the main thread
    void armTimerLocked(); // on the main thread, caller holds mutex_

    std::mutex mutex_;
    QObject* context_ = nullptr; // owned; lives on the main thread between start() and stop()
    QTimer* timer_ = nullptr;    // context_'s child; fires when the earliest work falls due
    bool stopped_ = false;
    std::uint64_t nextSequence_ = 0;
    std::map<Due, Pending> queue_; // all work not yet run, also before start()
};

} // namespace skrib
