#include "ui/ClosureAction.h"

#include <gtest/gtest.h>
#include <memory>

#include <QPushButton>

namespace skrib {
namespace {

TEST(ClosureAction, AClickRunsTheClosure) {
    QPushButton button;
    int runs = 0;
    ClosureAction::attach(&button, [&] { ++runs; });
    button.click();
    button.click();
    EXPECT_EQ(runs, 2);
}

TEST(ClosureAction, WiringAgainReplacesThePreviousAction) {
    QPushButton button;
    int first = 0;
    int second = 0;
    ClosureAction::attach(&button, [&] { ++first; });
    ClosureAction::attach(&button, [&] { ++second; });
    button.click();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(button.findChildren<ClosureAction*>().size(), 1);
}

TEST(ClosureAction, TheButtonKeepsItsActionAliveAndReleasesItWithItself) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    auto button = std::make_unique<QPushButton>();
    ClosureAction::attach(button.get(), [token] { ++*token; });
    token.reset();
    button->click();
    ASSERT_FALSE(watch.expired()) << "the closure lives as long as the button";
    EXPECT_EQ(*watch.lock(), 1);
    button.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(ClosureAction, InvokeIsReachableByName) {
    int runs = 0;
    ClosureAction action([&] { ++runs; });
    EXPECT_TRUE(QMetaObject::invokeMethod(&action, "invoke"));
    EXPECT_EQ(runs, 1);
}

} // namespace
} // namespace skrib
