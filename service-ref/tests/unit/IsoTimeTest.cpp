#include "IsoTime.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

struct IsoCase {
    std::int64_t millis;
    const char* iso;
};

class IsoTimeTest : public testing::TestWithParam<IsoCase> {};

TEST_P(IsoTimeTest, FormatsUtcWithMilliseconds) {
    EXPECT_EQ(formatIsoUtcMillis(GetParam().millis), GetParam().iso);
    EXPECT_EQ(utcDay(GetParam().millis), std::string(GetParam().iso).substr(0, 10));
}

// Reference values computed independently (date -u -d @SECONDS).
INSTANTIATE_TEST_SUITE_P(
    Instants, IsoTimeTest,
    testing::Values(IsoCase{0, "1970-01-01T00:00:00.000Z"},
                    IsoCase{1735787045678, "2025-01-02T03:04:05.678Z"},
                    IsoCase{951782400000, "2000-02-29T00:00:00.000Z"},  // leap day of a 400-year
                    IsoCase{4107542399999, "2100-02-28T23:59:59.999Z"}, // 2100 is no leap year
                    IsoCase{4107542400000, "2100-03-01T00:00:00.000Z"},
                    IsoCase{1735689599999, "2024-12-31T23:59:59.999Z"},
                    IsoCase{1735689600000, "2025-01-01T00:00:00.000Z"},
                    IsoCase{1709164800001, "2024-02-29T00:00:00.001Z"},
                    IsoCase{-1, "1969-12-31T23:59:59.999Z"}));

TEST(SystemClock, IsCloseToTheCurrentYear) {
    const std::string now = formatIsoUtcMillis(systemNowMillis());
    EXPECT_GE(now.substr(0, 4), "2024");
    EXPECT_EQ(now.size(), 24u);
}

} // namespace
} // namespace skrib::service
