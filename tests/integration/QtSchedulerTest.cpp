// The scheduler's promises, on Qt's real event loop and on the fake's virtual time.
#include "platform/qt/QtScheduler.h"

#include "FakeScheduler.h"

#include <gtest/gtest.h>
#include <thread>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace skrib {
namespace {

using Note = std::function<Scheduler::Task(std::string)>;

enum Scope { Both, QtOnly, QtBeforeStart }; // QtScheduler's start() and stop() are its own

struct SchedulerCase {
    const char* name;
    Scope scope;          // QtBeforeStart: the plan runs before start(); nothing may run until then
    bool fromOtherThread; // the plan runs on a second thread
    std::function<void(Scheduler&, const Note&)> plan;
    std::vector<std::string> expected; // what ran, in order, within 300 ms
    double lastNotBefore = 0;          // seconds after the plan
};

void PrintTo(const SchedulerCase& c, std::ostream* out) {
    *out << c.name;
}

class SchedulerContract : public ::testing::TestWithParam<SchedulerCase> {};

TEST_P(SchedulerContract, RunsDueWorkInOrderOnTheMainThread) {
    const SchedulerCase& c = GetParam();
    for (const bool onQt : {true, false}) {
        if (!onQt && c.scope != Both) {
            return;
        }
        SCOPED_TRACE(onQt ? "on Qt" : "on the fake, whose virtual time moves 300 ms at once");
        QtScheduler qt;
        testing::FakeScheduler fake;
        Scheduler& s = onQt ? static_cast<Scheduler&>(qt) : fake;
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
        if (onQt && c.scope != QtBeforeStart) {
            qt.start();
        }
        const double planned = s.absoluteTime();
        c.fromOtherThread ? std::thread([&] { c.plan(s, note); }).join() : c.plan(s, note);
        if (c.scope == QtBeforeStart) {
            QCoreApplication::processEvents();
            EXPECT_EQ(ran, std::vector<std::string>{}) << "ran before start()";
            qt.start();
        }
        QElapsedTimer waited;
        for (waited.start(); onQt && waited.elapsed() < 300;) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        }
        fake.advance(0.3); // idle on Qt
        EXPECT_EQ(ran, c.expected);
        EXPECT_TRUE(allOnMain) << "work ran off the main thread";
        EXPECT_TRUE(ran.empty() || lastAt - planned >= c.lastNotBefore) << "ran before it was due";
    }
}

using C = SchedulerCase;
using S = Scheduler&;
INSTANTIATE_TEST_SUITE_P(
    Cases, SchedulerContract,
    ::testing::Values(C{"DueTimesThenSchedulingOrder",
                        Both,
                        true,
                        [](S s, const Note& note) {
                            s.postAfter(0.15, note("late")), s.postAfter(0.05, note("early"));
                            s.postAfter(0, note("a")),
                                s.post([&s, note] { note("b")(), s.post(note("e")); });
                            s.postAfter(-1, note("c")), s.post(note("d"));
                            s.postAfter(0.01, note("cancelled"))->cancel();
                            s.scheduleRepeating(0.01, note("tick"))->cancel();
                        },
                        {"a", "b", "c", "d", "e", "early", "late"},
                        0.14},
                      C{"WaitsForStartThenKeepsRunningInANestedEventLoop",
                        QtBeforeStart,
                        false,
                        [](S s, const Note& note) {
                            s.post([note] {
                                QEventLoop dialog;
                                QTimer::singleShot(100, &dialog, &QEventLoop::quit);
                                note("opened")(), dialog.exec(), note("closed")();
                            });
                            s.postAfter(0.05, note("meanwhile"));
                            s.postAfter(0.01, note("cancelled"))->cancel();
                        },
                        {"opened", "meanwhile", "closed"},
                        0.09},
                      C{"RepeatingTimerCancelledFromItsOwnTick",
                        Both,
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
                        Both,
                        false,
                        [](S s, const Note& note) {
                            auto timer = s.scheduleRepeating(0.06, note("tick"));
                            s.postAfter(0.15, [timer, note] { timer->cancel(), note("cancel")(); });
                        },
                        {"tick", "tick", "cancel"},
                        0.14},
                      C{"StoppedDropsPendingAndNewWork",
                        QtOnly,
                        false,
                        [](S s, const Note& note) {
                            auto& qt = static_cast<QtScheduler&>(s);
                            qt.postAfter(0.01, note("pending")), qt.post(note("posted")), qt.stop();
                            EXPECT_TRUE(qt.postAfter(0, note("new"))->isCancelled());
                        },
                        {},
                        0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace skrib
