#include "ui/indicator/CapsuleSize.h"

#include "MemoryDefaults.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace skrib {
namespace {

struct SizeRow {
    CapsuleSize size;
    const char* rawValue;
    const char* displayName;
    int width, height, fontSize, eqHeight, horizontalPad, errorWidth;
};

class CapsuleSizeTest : public ::testing::TestWithParam<SizeRow> {};

TEST_P(CapsuleSizeTest, HasItsGeometryAndNames) {
    const SizeRow& r = GetParam();
    EXPECT_EQ(r.size.rawValue(), r.rawValue);
    EXPECT_EQ(r.size.displayName(), r.displayName);
    EXPECT_EQ(r.size.width(), r.width);
    EXPECT_EQ(r.size.height(), r.height);
    EXPECT_EQ(r.size.fontSize(), r.fontSize);
    EXPECT_EQ(r.size.eqHeight(), r.eqHeight);
    EXPECT_EQ(r.size.horizontalPad(), r.horizontalPad);
    EXPECT_EQ(r.size.errorWidth(), r.errorWidth);
}

TEST_P(CapsuleSizeTest, IsFoundByItsRawValueAndSurvivesSaving) {
    const SizeRow& r = GetParam();
    EXPECT_EQ(CapsuleSize::fromRawValue(r.rawValue), std::optional<CapsuleSize>(r.size));
    testing::MemoryDefaults defaults;
    CapsuleSize::save(defaults, r.size);
    EXPECT_EQ(defaults.stringValue("capsuleSize"), std::optional<std::string>(r.rawValue));
    EXPECT_EQ(CapsuleSize::stored(defaults), r.size);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CapsuleSizeTest,
    ::testing::Values(SizeRow{CapsuleSize::small, "small", "Small", 130, 26, 11, 14, 10, 190},
                      SizeRow{CapsuleSize::medium, "medium", "Medium", 200, 34, 13, 22, 14, 250},
                      SizeRow{CapsuleSize::large, "large", "Large", 300, 46, 16, 32, 20, 340}),
    [](const auto& info) { return std::string(info.param.rawValue); });

TEST(CapsuleSize, AllCasesAreSmallMediumLarge) {
    const auto all = CapsuleSize::allCases();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], CapsuleSize::small);
    EXPECT_EQ(all[1], CapsuleSize::medium);
    EXPECT_EQ(all[2], CapsuleSize::large);
}

struct StoredCase {
    const char* name;
    std::optional<DefaultsValue> stored;
    CapsuleSize expected;
};

class CapsuleSizeStoredTest : public ::testing::TestWithParam<StoredCase> {};

TEST_P(CapsuleSizeStoredTest, ReadsTheStoredValueOrMedium) {
    const StoredCase& c = GetParam();
    testing::MemoryDefaults defaults;
    if (c.stored) {
        defaults.set("capsuleSize", *c.stored);
    }
    EXPECT_EQ(CapsuleSize::stored(defaults), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CapsuleSizeStoredTest,
    ::testing::Values(
        StoredCase{"Absent", std::nullopt, CapsuleSize::medium},
        StoredCase{"Small", DefaultsValue(std::string("small")), CapsuleSize::small},
        StoredCase{"Large", DefaultsValue(std::string("large")), CapsuleSize::large},
        StoredCase{"Unknown", DefaultsValue(std::string("huge")), CapsuleSize::medium},
        StoredCase{"DisplayNameIsNotARawValue", DefaultsValue(std::string("Large")),
                   CapsuleSize::medium},
        StoredCase{"Padded", DefaultsValue(std::string(" small")), CapsuleSize::medium},
        StoredCase{"Empty", DefaultsValue(std::string()), CapsuleSize::medium},
        StoredCase{"Number", DefaultsValue(std::int64_t{0}), CapsuleSize::medium}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace skrib
