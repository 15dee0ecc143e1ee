#include "platform/NotificationCenter.h"

#include "FakeScheduler.h"
#include "app/Notifications.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace skrib {
namespace {

using ::testing::ElementsAre;
using testing::FakeScheduler;

TEST(NotificationCenter, DeliversSynchronouslyToObserversOfTheNameOnly) {
    NotificationCenter center;
    std::vector<std::string> seen;
    auto a = center.addObserver(notifications::micNameChanged, nullptr,
                                [&](const Notification& n) { seen.push_back("a " + n.name); });
    auto b = center.addObserver(notifications::hotkeyChanged, nullptr,
                                [&](const Notification& n) { seen.push_back("b " + n.name); });
    center.post(notifications::micNameChanged);
    EXPECT_THAT(seen, ElementsAre("a dev.qorin.vantu-skrib.micNameChanged"));
}

TEST(NotificationCenter, CarriesAnObjectOfAnyType) {
    struct Option {
        int keyCode;
    };
    NotificationCenter center;
    int received = -1;
    bool hadObject = true;
    auto token = center.addObserver("x", nullptr, [&](const Notification& n) {
        if (const auto* o = std::any_cast<Option>(&n.object)) {
            received = o->keyCode;
        } else {
            hadObject = n.object.has_value();
        }
    });
    center.post("x", Option{62});
    EXPECT_EQ(received, 62);
    center.post("x");
    EXPECT_FALSE(hadObject);
}

TEST(NotificationCenter, ScheduledDeliveryRunsOnTheQueueAndNotAfterTheTokenIsDropped) {
    FakeScheduler queue;
    NotificationCenter center;
    std::vector<int> seen;
    auto kept = center.addObserver(
        "n", &queue, [&](const Notification& n) { seen.push_back(std::any_cast<int>(n.object)); });
    auto dropped =
        center.addObserver("n", &queue, [&](const Notification&) { seen.push_back(-1); });
    std::thread poster([&] { center.post("n", 1); });
    poster.join();
    center.post("n", 2);
    EXPECT_TRUE(seen.empty()) << "queued observers are not called inside post";
    dropped.cancel();
    queue.runUntilIdle();
    EXPECT_THAT(seen, ElementsAre(1, 2));
}

TEST(NotificationCenter, ObserverMayEndItsOwnObservationWhileBeingNotified) {
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

TEST(NotificationCenter, NamesAreTheProgramsOwn) {
    EXPECT_STREQ(notifications::startDictation, "dev.qorin.vantu-skrib.startDictation");
    EXPECT_STREQ(notifications::cancelDictation, "dev.qorin.vantu-skrib.cancelDictation");
    EXPECT_STREQ(notifications::hotkeyChanged, "dev.qorin.vantu-skrib.hotkeyChanged");
    EXPECT_STREQ(notifications::micNameChanged, "dev.qorin.vantu-skrib.micNameChanged");
    EXPECT_STREQ(notifications::capsuleSizeChanged, "dev.qorin.vantu-skrib.capsuleSizeChanged");
    EXPECT_STREQ(notifications::showHotkeySettings, "dev.qorin.vantu-skrib.showHotkeySettings");
}

} // namespace
} // namespace skrib
