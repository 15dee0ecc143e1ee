#pragma once

// Behaviour every user-defaults store must share, run against the in-memory fake and the real
// adapter alike. A test file instantiates it with a factory for its store.

#include "platform/Defaults.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace skrib::testing {

using DefaultsFactory = std::function<std::unique_ptr<Defaults>()>;

class DefaultsContract : public ::testing::TestWithParam<DefaultsFactory> {
protected:
    void SetUp() override { store = GetParam()(); }
    std::unique_ptr<Defaults> store;
};

TEST_P(DefaultsContract, NeverWrittenKeysAreAbsentForEveryType) {
    EXPECT_FALSE(store->value("soundFeedback").has_value());
    EXPECT_FALSE(store->boolValue("soundFeedback").has_value());
    EXPECT_FALSE(store->integerValue("customHotkeyCode").has_value());
    EXPECT_FALSE(store->doubleValue("x").has_value());
    EXPECT_FALSE(store->stringValue("hotkeyOption").has_value());
}

TEST_P(DefaultsContract, TypedValuesReadBackAsWritten) {
    store->set("soundFeedback", false);
    store->set("hotkeyHoldMode", true);
    store->set("customHotkeyCode", 96);
    store->set("customHotkeyFlags", DefaultsValue(std::int64_t{1} << 40));
    store->set("negative", -42);
    store->set("ratio", DefaultsValue(0.375));
    store->set("hotkeyOption", "rightControl");
    store->set("customPrompt", "Write like a pirate, please: \"arr\", no; 100%\nsecond line");
    store->set("customHotkeyName", "@F5 ≠ é 🎙");
    store->set("empty", "");
    store->set("spaced", "  two sides  ");

    EXPECT_EQ(store->boolValue("soundFeedback"), false);
    EXPECT_EQ(store->boolValue("hotkeyHoldMode"), true);
    EXPECT_EQ(store->integerValue("customHotkeyCode"), 96);
    EXPECT_EQ(store->integerValue("customHotkeyFlags"), std::int64_t{1} << 40);
    EXPECT_EQ(store->integerValue("negative"), -42);
    EXPECT_EQ(store->doubleValue("ratio"), 0.375);
    EXPECT_EQ(store->stringValue("hotkeyOption"), "rightControl");
    EXPECT_EQ(store->stringValue("customPrompt"),
              "Write like a pirate, please: \"arr\", no; 100%\nsecond line");
    EXPECT_EQ(store->stringValue("customHotkeyName"), "@F5 ≠ é 🎙");
    EXPECT_EQ(store->stringValue("empty"), "");
    EXPECT_EQ(store->stringValue("spaced"), "  two sides  ");
}

TEST_P(DefaultsContract, ConvertsBetweenTypesOnlyWhereTheMeaningIsClear) {
    store->set("flag", true);
    store->set("number", 7);
    store->set("word", "rightControl");
    EXPECT_EQ(store->integerValue("flag"), 1);
    EXPECT_EQ(store->stringValue("number"), "7");
    EXPECT_EQ(store->boolValue("number"), true);
    EXPECT_FALSE(store->boolValue("word").has_value());
    EXPECT_FALSE(store->integerValue("word").has_value());
}

TEST_P(DefaultsContract, SetOverwritesAndRemoveMakesTheKeyAbsentAgain) {
    store->set("capsuleSize", "large");
    store->set("capsuleSize", "small");
    EXPECT_EQ(store->stringValue("capsuleSize"), "small");
    store->set("capsuleSize", 3);
    EXPECT_EQ(store->integerValue("capsuleSize"), 3);
    store->remove("capsuleSize");
    EXPECT_FALSE(store->value("capsuleSize").has_value());
    store->remove("neverThere");
    EXPECT_FALSE(store->value("neverThere").has_value());
}

} // namespace skrib::testing
