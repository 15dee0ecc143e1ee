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

TEST_P(DefaultsContract, TypedValuesReadBackAsWrittenAndNeverWrittenOnesAreAbsent) {
    EXPECT_FALSE(store->value("soundFeedback").has_value());
    EXPECT_FALSE(store->boolValue("soundFeedback").has_value());
    EXPECT_FALSE(store->integerValue("customHotkeyCode").has_value());
    EXPECT_FALSE(store->stringValue("hotkeyOption").has_value());
    for (const bool flag : {false, true}) {
        store->set("soundFeedback", DefaultsValue(flag));
        EXPECT_EQ(store->boolValue("soundFeedback"), flag);
    }
    for (const std::int64_t number : {std::int64_t{96}, std::int64_t{1} << 40, std::int64_t{-42}}) {
        store->set("customHotkeyCode", DefaultsValue(number));
        EXPECT_EQ(store->integerValue("customHotkeyCode"), number);
    }
    store->set("ratio", DefaultsValue(0.375));
    EXPECT_EQ(store->doubleValue("ratio"), 0.375);
    for (const char* text : {"rightControl", "Like a pirate: \"arr\", no; 100%\nsecond line",
                             "@F5 ≠ é 🎙", "", "  two sides  "}) {
        store->set("customPrompt", text);
        EXPECT_EQ(store->stringValue("customPrompt"), text);
    }
}

TEST_P(DefaultsContract, ConvertsBetweenTypesOnlyWhereTheMeaningIsClear) {
    store->set("flag", DefaultsValue(true));
    store->set("number", 7);
    store->set("word", "rightControl");
    EXPECT_EQ(store->integerValue("flag"), 1);
    EXPECT_EQ(store->stringValue("number"), "7");
    EXPECT_EQ(store->boolValue("number"), true);
    EXPECT_FALSE(store->boolValue("word").has_value());
    EXPECT_FALSE(store->integerValue("word").has_value());
}

TEST_P(DefaultsContract, SetOverwritesAcrossTypesAndRemoveMakesTheKeyAbsentAgain) {
    store->set("capsuleSize", "large");
    store->set("capsuleSize", 3);
    EXPECT_EQ(store->integerValue("capsuleSize"), 3);
    store->remove("capsuleSize");
    store->remove("neverThere");
    EXPECT_FALSE(store->value("capsuleSize").has_value());
    EXPECT_FALSE(store->value("neverThere").has_value());
}

} // namespace skrib::testing
