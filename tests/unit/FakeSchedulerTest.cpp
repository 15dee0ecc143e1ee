#include "FakeScheduler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace skrib::testing {
namespace {

using ::testing::ElementsAre;

TEST(FakeScheduler, RunsWorkInDueOrderWithTiesInSchedulingOrder) {
    FakeScheduler s;
    std::vector<std::string> ran;
    s.postAfter(2.0, [&] { ran.push_back("b@2"); });
    s.postAfter(1.0, [&] { ran.push_back("a@1"); });
    s.postAfter(2.0, [&] { ran.push_back("c@2"); });
    s.post([&] { ran.push_back("post"); });
    s.postAfter(-5.0, [&] { ran.push_back("negative"); });
    EXPECT_TRUE(ran.empty()) << "nothing runs before time advances";
    s.advance(1.5);
    EXPECT_THAT(ran, ElementsAre("post", "negative", "a@1"));
    s.advance(0.5);
    EXPECT_THAT(ran, ElementsAre("post", "negative", "a@1", "b@2", "c@2"));
}

TEST(FakeScheduler, EachItemSeesTheClocksAtItsOwnDueTime) {
    const auto wallStart = WallClock::time_point{} + std::chrono::seconds(1000);
    FakeScheduler s(wallStart);
    std::vector<double> seen;
    std::vector<WallClock::time_point> wall;
    s.postAfter(0.25, [&] {
        seen.push_back(s.absoluteTime());
        wall.push_back(s.now());
    });
    s.postAfter(3.0, [&] { seen.push_back(s.absoluteTime()); });
    s.advance(10.0);
    EXPECT_THAT(seen, ElementsAre(0.25, 3.0));
    EXPECT_EQ(s.absoluteTime(), 10.0);
    EXPECT_EQ(wall.at(0), wallStart + std::chrono::milliseconds(250));
    EXPECT_EQ(s.now(), wallStart + std::chrono::seconds(10));
}

TEST(FakeScheduler, CancelledWorkNeverRuns) {
    FakeScheduler s;
    int ran = 0;
    auto early = s.postAfter(1.0, [&] { ran += 1; });
    auto late = s.postAfter(2.0, [&] { ran += 10; });
    s.postAfter(1.5, [&] { late->cancel(); }); // cancelled by earlier work
    early->cancel();
    s.advance(5.0);
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(s.pendingCount(), 0u);
}

TEST(FakeScheduler, WorkScheduledByWorkRunsInTheSameAdvanceWhenItFallsDue) {
    FakeScheduler s;
    std::vector<std::string> ran;
    s.postAfter(1.0, [&] {
        ran.push_back("first@" + std::to_string(s.absoluteTime()));
        s.postAfter(0.5, [&] { ran.push_back("second@" + std::to_string(s.absoluteTime())); });
        s.postAfter(5.0, [&] { ran.push_back("third"); });
        s.post([&] { ran.push_back("posted@" + std::to_string(s.absoluteTime())); });
    });
    s.advance(2.0);
    EXPECT_THAT(ran, ElementsAre("first@1.000000", "posted@1.000000", "second@1.500000"));
    s.advance(4.0);
    EXPECT_THAT(ran.back(), "third");
}

TEST(FakeScheduler, RepeatingTimerTicksEveryIntervalUntilCancelled) {
    FakeScheduler s;
    std::vector<double> ticks;
    auto timer = s.scheduleRepeating(0.5, [&] { ticks.push_back(s.absoluteTime()); });
    s.advance(0.4);
    EXPECT_TRUE(ticks.empty()) << "the first tick comes one interval after scheduling";
    s.advance(1.6);
    EXPECT_THAT(ticks, ElementsAre(0.5, 1.0, 1.5, 2.0));
    timer->cancel();
    s.advance(10.0);
    EXPECT_EQ(ticks.size(), 4u);
}

TEST(FakeScheduler, RepeatingTimerCanCancelItselfAndInterleavesWithOtherWork) {
    FakeScheduler s;
    std::vector<std::string> ran;
    std::shared_ptr<WorkItem> timer;
    int count = 0;
    timer = s.scheduleRepeating(1.0, [&] {
        ran.push_back("tick" + std::to_string(++count));
        if (count == 3) {
            timer->cancel();
        }
    });
    s.postAfter(2.5, [&] { ran.push_back("other"); });
    s.advance(100.0);
    EXPECT_THAT(ran, ElementsAre("tick1", "tick2", "other", "tick3"));
}

TEST(FakeScheduler, AcceptsWorkFromOtherThreads) {
    FakeScheduler s;
    int ran = 0;
    std::thread t([&] {
        for (int i = 0; i < 100; ++i) {
            s.post([&] { ++ran; });
        }
    });
    t.join();
    s.runUntilIdle();
    EXPECT_EQ(ran, 100);
}

} // namespace
} // namespace skrib::testing
