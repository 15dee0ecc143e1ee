#include "platform/Observable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace skrib {
namespace {

using ::testing::ElementsAre;

TEST(Observable, SubscriberGetsTheCurrentValueThenEveryAssignmentWithoutDeduplication) {
    Observable<int> value(7);
    value.set(8);
    std::vector<int> seen;
    auto token = value.subscribe([&](const int& v) { seen.push_back(v); });
    value.set(8);
    value.set(8);
    value.set(9);
    EXPECT_THAT(seen, ElementsAre(8, 8, 8, 9));
    EXPECT_EQ(value.get(), 9);
}

TEST(Observable, DroppingOrCancellingTheTokenEndsTheSubscription) {
    Observable<std::string> value("a");
    std::vector<std::string> first, second;
    auto keep = value.subscribe([&](const std::string& v) { first.push_back(v); });
    {
        auto scoped = value.subscribe([&](const std::string& v) { second.push_back(v); });
        value.set("b");
    }
    value.set("c");
    keep.cancel();
    keep.cancel();
    value.set("d");
    EXPECT_THAT(first, ElementsAre("a", "b", "c"));
    EXPECT_THAT(second, ElementsAre("a", "b"));
    EXPECT_EQ(value.subscriberCount(), 0u);
}

TEST(Observable, MovedTokensKeepOrEndTheSubscriptionExactlyOnce) {
    Observable<int> value(0);
    int calls = 0;
    Subscription a = value.subscribe([&](const int&) { ++calls; });
    Subscription b = std::move(a);
    value.set(1);
    EXPECT_EQ(calls, 2);
    b = value.subscribe([&](const int&) { calls += 100; }); // the first subscription ends here
    value.set(2);
    EXPECT_EQ(calls, 2 + 100 + 100);
    EXPECT_EQ(value.subscriberCount(), 1u);
}

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
    EXPECT_THAT(seen, ElementsAre("first 0", "later 0", "first 1", "first 2"));
}

TEST(Observable, TokenMayOutliveTheObservable) {
    Subscription token;
    {
        Observable<std::optional<std::string>> value;
        token = value.subscribe([](const std::optional<std::string>&) {});
    }
    token.cancel(); // must not touch the destroyed observable
    SUCCEED();
}

} // namespace
} // namespace skrib
