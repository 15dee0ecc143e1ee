#include "platform/Observable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>

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

} // namespace
} // namespace skrib
