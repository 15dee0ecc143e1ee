#include "platform/Observable.h"

#include "FakeScheduler.h"
#include "platform/NotificationCenter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

namespace skrib {
namespace {

// Plain subscriptions are exercised by every user of AppState; these are the unusual paths.
TEST(Observable, SubscribersMayUnsubscribeOthersAndAssignFromTheirCallback) {
    Observable<int> value(0);
    std::vector<std::string> seen;
    Subscription later;
    auto first = value.subscribe([&](const int& v) {
        seen.push_back("first " + std::to_string(v));
        if (v == 1) {
            later.cancel(); // must not be called for this value any more
            value.set(2);   // nested assignment is delivered too
        }
    });
    later = value.subscribe([&](const int& v) { seen.push_back("later " + std::to_string(v)); });
    value.set(1);
    first = value.subscribe([&](const int& v) { seen.push_back("moved " + std::to_string(v)); });
    value.set(2);
    EXPECT_THAT(seen, ::testing::ElementsAre("first 0", "later 0", "first 1", "first 2", "moved 2",
                                             "moved 2"));
}

TEST(Observable, ATokenMayOutliveTheObservable) {
    Subscription token;
    {
        Observable<std::optional<std::string>> value;
        token = value.subscribe([](const std::optional<std::string>&) {});
    }
    token.cancel(); // must not touch the destroyed observable
}


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
