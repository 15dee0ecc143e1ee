#include "platform/qt/QtScheduler.h"

#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace skrib {
namespace {

using ::testing::ElementsAre;

// Runs the event loop until `done` or a generous deadline (a failing test must not hang).
void runLoopUntil(const std::function<bool()>& done, int deadlineMs = 10000) {
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(deadlineMs);
    while (!done() && deadline.isActive()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
}

bool onMainThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

TEST(QtScheduler, WorkPostedBeforeStartRunsOnceTheLoopRuns) {
    QtScheduler s;
    std::vector<std::string> ran;
    s.post([&] { ran.push_back("post"); });
    s.postAfter(0.05, [&] { ran.push_back("after"); });
    auto cancelled = s.postAfter(0.01, [&] { ran.push_back("cancelled"); });
    cancelled->cancel();
    QCoreApplication::processEvents();
    EXPECT_TRUE(ran.empty());
    s.start();
    runLoopUntil([&] { return ran.size() >= 2; });
    EXPECT_THAT(ran, ElementsAre("post", "after"));
}

TEST(QtScheduler, RunsWorkFromOtherThreadsOnTheMainThreadInDueOrder) {
    QtScheduler s;
    s.start();
    std::vector<std::string> ran;
    std::atomic<bool> allOnMain{true};
    auto note = [&](std::string what) {
        return [&, what] {
            allOnMain = allOnMain && onMainThread();
            ran.push_back(what);
        };
    };
    std::thread other([&] {
        s.postAfter(0.20, note("late"));
        s.postAfter(0.05, note("early"));
        s.post(note("now"));
    });
    other.join();
    const double start = s.absoluteTime();
    runLoopUntil([&] { return ran.size() >= 3; });
    EXPECT_THAT(ran, ElementsAre("now", "early", "late"));
    EXPECT_TRUE(allOnMain);
    EXPECT_GE(s.absoluteTime() - start, 0.19);
}

TEST(QtScheduler, RepeatingTimerStopsWhenCancelledFromItsOwnTick) {
    QtScheduler s;
    s.start();
    int ticks = 0;
    std::shared_ptr<WorkItem> timer;
    timer = s.scheduleRepeating(0.01, [&] {
        if (++ticks == 3) {
            timer->cancel();
        }
    });
    bool waited = false;
    s.postAfter(0.3, [&] { waited = true; });
    runLoopUntil([&] { return waited; });
    EXPECT_EQ(ticks, 3);
}

TEST(QtScheduler, StoppedSchedulerDropsPendingAndNewWork) {
    QtScheduler s;
    s.start();
    bool ran = false;
    s.postAfter(0.01, [&] { ran = true; });
    s.post([&] { ran = true; });
    s.stop();
    auto item = s.postAfter(0.0, [&] { ran = true; });
    EXPECT_TRUE(item->isCancelled());
    QtScheduler other;
    other.start();
    bool waited = false;
    other.postAfter(0.1, [&] { waited = true; });
    runLoopUntil([&] { return waited; });
    EXPECT_FALSE(ran);
}

TEST(QtScheduler, ClocksMoveForward) {
    QtScheduler s;
    const double a = s.absoluteTime();
    const auto wall = s.now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(s.absoluteTime() - a, 0.019);
    EXPECT_GT(s.now(), wall);
}

} // namespace
} // namespace skrib
