#include "platform/NotificationCenter.h"

#include "FakeScheduler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

namespace skrib {
namespace {

TEST(NotificationCenter, QueuedObserversGetPostsFromAnyThreadUnlessTheirTokenWentFirst) {
    testing::FakeScheduler queue;
    NotificationCenter center;
    std::vector<std::string> seen;
    auto note = [&](const char* who) {
        return [&seen, who](const Notification& n) {
            seen.push_back(who + std::to_string(std::any_cast<int>(n.object)));
        };
    };
    auto now = center.addObserver("n", nullptr, note("now"));
    auto queued = center.addObserver("n", &queue, note("queued"));
    auto dropped = center.addObserver("n", &queue, note("dropped"));
    auto other = center.addObserver("other", nullptr, note("other"));
    std::thread([&] { center.post("n", 1); }).join();
    EXPECT_THAT(seen, ::testing::ElementsAre("now1"));
    dropped.cancel();
    queue.runUntilIdle();
    EXPECT_THAT(seen, ::testing::ElementsAre("now1", "queued1"));
}

TEST(NotificationCenter, AnObserverMayEndItsOwnObservationWhileBeingNotified) {
    NotificationCenter center;
    int calls = 0;
    Subscription token;
    token = center.addObserver("n", nullptr, [&](const Notification&) {
        ++calls;
        token.cancel();
    });
    center.post("n");
    center.post("n");
    EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace skrib
