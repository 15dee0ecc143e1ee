#include "platform/qt/QtScheduler.h"

#include <chrono>
#include <cmath>

#include <QCoreApplication>
#include <QObject>
#include <QTimer>

// Qt hands queued calls between threads under its own locks, which ThreadSanitizer cannot see;
// these annotations tell it that whatever happened before a post happens before the work runs.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define SKRIB_HANDED_OVER(address) __tsan_release(address)
#define SKRIB_TAKEN_OVER(address) __tsan_acquire(address)
#else
#define SKRIB_HANDED_OVER(address) static_cast<void>(address)
#define SKRIB_TAKEN_OVER(address) static_cast<void>(address)
#endif

namespace skrib {
namespace {

int toMilliseconds(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    const double ms = std::ceil(seconds * 1000.0);
    return ms > 2.0e9 ? 2000000000 : static_cast<int>(ms);
}

} // namespace

QtScheduler::QtScheduler() = default;

QtScheduler::~QtScheduler() {
    stop();
}

void QtScheduler::start() {
    std::vector<Pending> pending;
    {
        std::lock_guard lock(mutex_);
        if (context_ != nullptr || stopped_) {
            return;
        }
        context_ = new QObject;
        pending.swap(beforeStart_);
        for (auto& p : pending) {
            schedule(std::move(p));
        }
    }
}

void QtScheduler::stop() {
    QObject* context = nullptr;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        beforeStart_.clear();
        context = std::exchange(context_, nullptr);
    }
    delete context; // cancels its queued calls and timers
}

void QtScheduler::post(Task task) {
    enqueue(Pending{absoluteTime(), 0.0, nullptr, std::move(task)});
}

std::shared_ptr<WorkItem> QtScheduler::postAfter(double seconds, Task task) {
    auto item = std::make_shared<WorkItem>();
    enqueue(Pending{absoluteTime() + std::max(0.0, seconds), 0.0, item, std::move(task)});
    return item;
}

std::shared_ptr<WorkItem> QtScheduler::scheduleRepeating(double intervalSeconds, Task task) {
    auto item = std::make_shared<WorkItem>();
    const double interval = std::max(0.001, intervalSeconds);
    enqueue(Pending{absoluteTime() + interval, interval, item, std::move(task)});
    return item;
}

// Keeps work until the loop runs, hands it to the loop after that, and drops it once stopped.
void QtScheduler::enqueue(Pending pending) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        if (pending.item) {
            pending.item->cancel();
        }
        return;
    }
    if (context_ == nullptr) {
        beforeStart_.push_back(std::move(pending));
    } else {
        schedule(std::move(pending));
    }
}

void QtScheduler::schedule(Pending pending) {
    QObject* context = context_;
    if (pending.item == nullptr && pending.interval == 0.0) {
        // Plain posts go straight into the event queue, in posting order.
        auto task = std::make_shared<Task>(std::move(pending.task));
        SKRIB_HANDED_OVER(task.get());
        QMetaObject::invokeMethod(
            context,
            [task] {
                SKRIB_TAKEN_OVER(task.get());
                (*task)();
            },
            Qt::QueuedConnection);
        return;
    }
    // Timers must be created on the main thread.
    auto handed = std::make_shared<Pending>(std::move(pending));
    SKRIB_HANDED_OVER(handed.get());
    QMetaObject::invokeMethod(
        context,
        [context, handed] {
            SKRIB_TAKEN_OVER(handed.get());
            startOnMain(context, std::move(*handed), QtScheduler::absoluteClock());
        },
        Qt::QueuedConnection);
}

void QtScheduler::startOnMain(QObject* context, Pending pending, double nowAbsolute) {
    if (pending.item->isCancelled()) {
        return;
    }
    const int delay = toMilliseconds(pending.due - nowAbsolute);
    if (pending.interval == 0.0) {
        QTimer::singleShot(delay, Qt::PreciseTimer, context,
                           [item = pending.item, task = std::move(pending.task)] {
                               if (!item->isCancelled()) {
                                   task();
                               }
                           });
        return;
    }
    // A repeating timer: the first tick at the due time, then every interval.
    auto* timer = new QTimer(context);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(true);
    timer->setInterval(delay);
    const int interval = std::max(1, toMilliseconds(pending.interval));
    QObject::connect(timer, &QTimer::timeout, timer,
                     [timer, interval, item = pending.item, task = std::move(pending.task)] {
                         if (item->isCancelled()) {
                             timer->deleteLater();
                             return;
                         }
                         if (timer->isSingleShot()) {
                             timer->setSingleShot(false);
                             timer->start(interval);
                         }
                         task();
                         if (item->isCancelled()) {
                             timer->stop();
                             timer->deleteLater();
                         }
                     });
    timer->start();
}

WallClock::time_point QtScheduler::now() const {
    return WallClock::now();
}

double QtScheduler::absoluteTime() const {
    return absoluteClock();
}

double QtScheduler::absoluteClock() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace skrib
