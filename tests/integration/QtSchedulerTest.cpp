// The scheduler on Qt's real event loop and timers.
#include "platform/qt/QtScheduler.h"

#include <gtest/gtest.h>
#include <thread>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace skrib {
namespace {

using Note = std::function<Scheduler::Task(std::string)>;

struct SchedulerCase {
    const char* name;
    bool beforeStart;     // the plan runs before start(); nothing may run until then
    bool fromOtherThread; // the plan runs on a second thread
    std::function<void(QtScheduler&, const Note&)> plan;
    std::vector<std::string> expected; // what ran, in order, within 300 ms
    double lastNotBefore = 0;          // seconds after the plan
};

void PrintTo(const SchedulerCase& c, std::ostream* out) {
    *out << c.name;
}

class QtSchedulerContract : public ::testing::TestWithParam<SchedulerCase> {};

TEST_P(QtSchedulerContract, RunsDueWorkInOrderOnTheMainThread) {
    const SchedulerCase& c = GetParam();
    QtScheduler s;
    std::vector<std::string> ran;
    double lastAt = 0;
    bool allOnMain = true;
    const Note note = [&](std::string what) -> Scheduler::Task {
        return [&, what] {
            allOnMain =
                allOnMain && QThread::currentThread() == QCoreApplication::instance()->thread();
            ran.push_back(what), lastAt = s.absoluteTime();
        };
    };
    if (!c.beforeStart) {
        s.start();
    }
    const double planned = s.absoluteTime();
    c.fromOtherThread ? std::thread([&] { c.plan(s, note); }).join() : c.plan(s, note);
    if (c.beforeStart) {
        QCoreApplication::processEvents();
        EXPECT_EQ(ran, std::vector<std::string>{}) << "ran before start()";
        s.start();
    }
    QElapsedTimer waited;
    for (waited.start(); waited.elapsed() < 300;) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    EXPECT_EQ(ran, c.expected);
    EXPECT_TRUE(allOnMain) << "work ran off the main thread";
    EXPECT_TRUE(ran.empty() || lastAt - planned >= c.lastNotBefore) << "ran before it was due";
}

using C = SchedulerCase;
using S = QtScheduler&;
INSTANTIATE_TEST_SUITE_P(
    Cases, QtSchedulerContract,
    ::testing::Values(C{"DueOrderFromAnotherThread",
                        false,
                        true,
                        [](S s, const Note& note) {
                            s.postAfter(0.15, note("late")), s.postAfter(0.05, note("early")),
                                s.post(note("now"));
                        },
                        {"now", "early", "late"},
                        0.14},
                      C{"PostedBeforeStartWaitsForIt",
                        true,
                        false,
                        [](S s, const Note& note) {
                            s.post(note("post")), s.postAfter(0.05, note("after"));
                            s.postAfter(0.01, note("cancelled"))->cancel();
                        },
                        {"post", "after"},
                        0.04},
                      C{"CancelledWorkNeverRuns",
                        false,
                        true,
                        [](S s, const Note& note) {
                            s.postAfter(0.01, note("cancelled"))->cancel();
                            s.scheduleRepeating(0.01, note("tick"))->cancel();
                            s.postAfter(0.02, note("kept"));
                        },
                        {"kept"},
                        0.015},
                      C{"RepeatingTimerCancelledFromItsOwnTick",
                        false,
                        false,
                        [](S s, const Note& note) {
                            auto timer = std::make_shared<std::shared_ptr<WorkItem>>();
                            auto ticks = std::make_shared<int>(0);
                            *timer = s.scheduleRepeating(0.02, [=] {
                                note("tick")();
                                if (++*ticks == 3) {
                                    (*timer)->cancel();
                                }
                            });
                        },
                        {"tick", "tick", "tick"},
                        0.055},
                      C{"RepeatingTimerCancelledWhileRunning",
                        false,
                        false,
                        [](S s, const Note& note) {
                            auto timer = s.scheduleRepeating(0.06, note("tick"));
                            s.postAfter(0.15, [timer, note] { timer->cancel(), note("cancel")(); });
                        },
                        {"tick", "tick", "cancel"},
                        0.14},
                      C{"StoppedDropsPendingAndNewWork",
                        false,
                        false,
                        [](S s, const Note& note) {
                            s.postAfter(0.01, note("pending")), s.post(note("posted")), s.stop();
                            EXPECT_TRUE(s.postAfter(0, note("new"))->isCancelled());
                        },
                        {},
                        0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace skrib
