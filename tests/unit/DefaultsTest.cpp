#include "DefaultsContract.h"
#include "MemoryDefaults.h"

#include <gtest/gtest.h>
#include <limits>

namespace skrib::testing {
namespace {

INSTANTIATE_TEST_SUITE_P(Memory, DefaultsContract, ::testing::Values(DefaultsFactory([] {
                             return std::make_unique<MemoryDefaults>();
                         })));

// Stores that keep text hand back strings; the typed reads must recover the values.
struct TextCase {
    const char* text;
    std::optional<bool> asBool;
    std::optional<std::int64_t> asInteger;
    std::optional<double> asDouble;
};

class DefaultsText : public ::testing::TestWithParam<TextCase> {};

TEST_P(DefaultsText, ConvertsStoredText) {
    const auto c = GetParam();
    const DefaultsValue v{std::string(c.text)};
    EXPECT_EQ(Defaults::toBool(v), c.asBool) << c.text;
    EXPECT_EQ(Defaults::toInteger(v), c.asInteger) << c.text;
    EXPECT_EQ(Defaults::toDouble(v), c.asDouble) << c.text;
    EXPECT_EQ(Defaults::toString(v), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DefaultsText,
    ::testing::Values(TextCase{"true", true, 1, std::nullopt},
                      TextCase{"false", false, 0, std::nullopt}, TextCase{"1", true, 1, 1.0},
                      TextCase{"0", false, 0, 0.0}, TextCase{"-12", true, -12, -12.0},
                      TextCase{" 42 ", true, 42, 42.0}, TextCase{"2.75", std::nullopt, 2, 2.75},
                      TextCase{"9223372036854775807", true, 9223372036854775807LL,
                               9223372036854775807.0},
                      TextCase{"99999999999999999999", std::nullopt, std::nullopt, 1e20},
                      TextCase{"1e400", std::nullopt, std::nullopt, std::nullopt},
                      TextCase{"nan", std::nullopt, std::nullopt, std::nullopt},
                      TextCase{"", std::nullopt, std::nullopt, std::nullopt},
                      TextCase{"12abc", std::nullopt, std::nullopt, std::nullopt},
                      TextCase{"rightControl", std::nullopt, std::nullopt, std::nullopt}));

TEST(Defaults, DoublesOutsideTheIntegerRangeDoNotBecomeIntegers) {
    EXPECT_FALSE(Defaults::toInteger(DefaultsValue(1e30)).has_value());
    EXPECT_FALSE(Defaults::toInteger(DefaultsValue(std::numeric_limits<double>::infinity())));
    EXPECT_EQ(Defaults::toInteger(DefaultsValue(-3.9)), -3);
    EXPECT_EQ(Defaults::toString(DefaultsValue(0.1)), "0.10000000000000001");
}

} // namespace
} // namespace skrib::testing
