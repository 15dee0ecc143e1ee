#pragma once

#include "platform/Scheduler.h"

#include <memory>
#include <mutex>
#include <vector>

class QObject;

namespace skrib {

/// The main queue on Qt's event loop. Work posted before `start()` (for example by the first
/// log line, before the application object exists) is kept and scheduled once `start()` runs;
/// delays count from the moment the work was posted. After `stop()` new work is dropped.
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
    struct Pending {
        double due;      // absolute time
        double interval; // > 0 for repeating work
        std::shared_ptr<WorkItem> item;
        Task task;
    };

    void enqueue(Pending pending);
    void schedule(Pending pending); // caller holds mutex_, context_ is set
    static void startOnMain(QObject* context, Pending pending, double nowAbsolute);

    std::mutex mutex_;
    QObject* context_ = nullptr; // owned; lives on the main thread between start() and stop()
    bool stopped_ = false;
    std::vector<Pending> beforeStart_;
};

} // namespace skrib
