#include "platform/qt/QtScheduler.h"

#include <chrono>
#include <cmath>
#include <utility>

#include <QObject>
#include <QTimer>

// Qt hands queued calls between threads under its own locks, which ThreadSanitizer cannot see;
// these annotations tell it that whatever happened before a wake-up call was queued happens
// before the call runs. (The work itself passes through the scheduler's mutex, which it sees.)
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
    std::lock_guard lock(mutex_);
    if (context_ != nullptr || stopped_) {
        return;
    }
    context_ = new QObject;
    timer_ = new QTimer(context_);
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_, &QTimer::timeout, context_, [this] { runDue(); });
    armTimerLocked(); // for work posted before
}

void QtScheduler::stop() {
    QObject* context = nullptr;
    std::map<Due, Pending> dropped;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        dropped.swap(queue_);
        context = std::exchange(context_, nullptr);
        timer_ = nullptr;
    }
    delete context; // with its timer and queued wake-up calls
}

void QtScheduler::post(Task task) {
    enqueue(absoluteTime(), Pending{0.0, nullptr, std::move(task)});
}

std::shared_ptr<WorkItem> QtScheduler::postAfter(double seconds, Task task) {
    auto item = std::make_shared<WorkItem>();
    enqueue(absoluteTime() + std::max(0.0, seconds), Pending{0.0, item, std::move(task)});
    return item;
}

std::shared_ptr<WorkItem> QtScheduler::scheduleRepeating(double intervalSeconds, Task task) {
    auto item = std::make_shared<WorkItem>();
    const double interval = std::max(0.001, intervalSeconds);
    enqueue(absoluteTime() + interval, Pending{interval, item, std::move(task)});
    return item;
}

// Queues work in due order, and wakes the main thread when it is now the earliest: the timer
// can only be re-armed there. Once stopped, work is dropped.
void QtScheduler::enqueue(double dueTime, Pending pending) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        if (pending.item) {
            pending.item->cancel();
        }
        return;
    }
    const auto at = queue_.emplace(Due{dueTime, nextSequence_++}, std::move(pending)).first;
    if (at == queue_.begin() && context_ != nullptr) {
        SKRIB_HANDED_OVER(this);
        QMetaObject::invokeMethod(
            context_,
            [this] {
                SKRIB_TAKEN_OVER(this);
                runDue();
            },
            Qt::QueuedConnection);
    }
}

// Runs the work that is due, earliest first. The timer is armed for the rest before each run,
// so that work keeps running in a nested event loop (a modal dialog) that the running work opens.
void QtScheduler::runDue() {
    const double now = absoluteClock();
    for (;;) {
        Due due{};
        Pending next;
        {
            std::lock_guard lock(mutex_);
            if (timer_ == nullptr) {
                return; // stopped by the work that ran last
            }
            if (queue_.empty() || queue_.begin()->first.time > now) {
                armTimerLocked();
                return;
            }
            auto node = queue_.extract(queue_.begin());
            due = node.key();
            next = std::move(node.mapped());
            armTimerLocked();
        }
        if (next.item && next.item->isCancelled()) {
            continue;
        }
        next.task();
        if (next.interval > 0.0 && !next.item->isCancelled()) {
            // One interval after this tick was due; a loop busy for longer gets one late tick.
            const double again = std::max(due.time + next.interval, absoluteClock());
            enqueue(again, std::move(next));
        }
    }
}

void QtScheduler::armTimerLocked() {
    if (queue_.empty()) {
        timer_->stop();
    } else {
        timer_->start(toMilliseconds(queue_.begin()->first.time - absoluteClock()));
    }
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
