#include "service/MetricsSessionDelegate.h"

#include <gtest/gtest.h>

namespace skrib {
namespace {

TEST(MetricsSessionDelegate, TakeRemovesALaterRecordReplacesAndTheOldestArePruned) {
    MetricsSessionDelegate metrics;
    metrics.record(7, NetworkTiming{.totalMs = 10});
    metrics.record(7, NetworkTiming{.totalMs = 20});
    EXPECT_EQ(metrics.take(7).value_or(NetworkTiming{}).totalMs, 20);
    EXPECT_FALSE(metrics.take(7).has_value());
    for (std::int64_t id = 1; id <= 100; ++id) {
        metrics.record(id, NetworkTiming{});
    }
    EXPECT_EQ(metrics.size(), MetricsSessionDelegate::maxEntries);
    EXPECT_FALSE(metrics.take(36).has_value());
    EXPECT_TRUE(metrics.take(37).has_value()) << "the newest 64 are kept";
}

} // namespace
} // namespace skrib
