#include "service/NetworkTiming.h"

#include <gtest/gtest.h>

namespace skrib {
namespace {

struct SummaryCase {
    NetworkTiming timing;
    const char* expected;
};

class TimingSummary : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(TimingSummary, IsOneLineOfRoundedPhases) {
    EXPECT_EQ(GetParam().timing.summary(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimingSummary,
    ::testing::Values(
        SummaryCase{{0, 0, 0, 12.4, 310.6, 1.2, 325.0, true},
                    "net[reused]: dns=0 connect=0 tls=0 upload=12 server=311 download=1 total=325"},
        SummaryCase{
            {3.2, 0.7, 18.5, 40, 900, 2, 965.4, false},
            "net[NEW-conn]: dns=3 connect=1 tls=18 upload=40 server=900 download=2 total=965"},
        SummaryCase{{},
                    "net[NEW-conn]: dns=0 connect=0 tls=0 upload=0 server=0 download=0 total=0"}));

TEST(MetricsSessionDelegate, TakeRemovesAndALaterRecordReplaces) {
    MetricsSessionDelegate metrics;
    EXPECT_FALSE(metrics.take(7).has_value());
    metrics.record(7, NetworkTiming{.totalMs = 10});
    metrics.record(7, NetworkTiming{.totalMs = 20});
    const auto taken = metrics.take(7);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->totalMs, 20);
    EXPECT_FALSE(metrics.take(7).has_value());
}

TEST(MetricsSessionDelegate, UntakenRecordsArePrunedOldestFirst) {
    MetricsSessionDelegate metrics;
    for (std::int64_t id = 1; id <= 100; ++id) {
        metrics.record(id, NetworkTiming{.totalMs = static_cast<double>(id)});
    }
    EXPECT_EQ(metrics.size(), MetricsSessionDelegate::maxEntries);
    EXPECT_FALSE(metrics.take(1).has_value());
    EXPECT_TRUE(metrics.take(100).has_value()) << "the newest task's timing is kept";
}

} // namespace
} // namespace skrib
