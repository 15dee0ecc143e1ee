#include "DefaultsContract.h"
#include "MemoryDefaults.h"

#include <gtest/gtest.h>
#include <limits>

namespace skrib::testing {
namespace {

INSTANTIATE_TEST_SUITE_P(Memory, DefaultsContract,
                         ::testing::Values([] { return std::make_unique<MemoryDefaults>(); }));

// Stores that keep text hand back strings; the typed reads must recover the values.
TEST(Defaults, ConvertsStoredTextAndOnlyIntegralDoubles) {
    constexpr auto none = std::nullopt;
    const std::vector<std::tuple<const char*, std::optional<bool>, std::optional<std::int64_t>,
                                 std::optional<double>>>
        cases{{"true", true, 1, none},
              {"0", false, 0, 0.0},
              {" -12 ", true, -12, -12.0},
              {"2.75", none, 2, 2.75},
              {"9223372036854775807", true, 9223372036854775807LL, 9223372036854775807.0},
              {"99999999999999999999", none, none, 1e20},
              {"1e400", none, none, none},
              {"nan", none, none, none},
              {"12abc", none, none, none}};
    for (const auto& [text, asBool, asInteger, asDouble] : cases) {
        const DefaultsValue v{std::string(text)};
        EXPECT_EQ(Defaults::toBool(v), asBool) << text;
        EXPECT_EQ(Defaults::toInteger(v), asInteger) << text;
        EXPECT_EQ(Defaults::toDouble(v), asDouble) << text;
    }
    EXPECT_FALSE(Defaults::toInteger(DefaultsValue(1e30)).has_value());
    EXPECT_FALSE(Defaults::toInteger(DefaultsValue(std::numeric_limits<double>::infinity())));
    EXPECT_EQ(Defaults::toInteger(DefaultsValue(-3.9)), -3);
    EXPECT_EQ(Defaults::toString(DefaultsValue(0.1)), "0.10000000000000001");
}

} // namespace
} // namespace skrib::testing
