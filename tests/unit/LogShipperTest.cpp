#include "log/LogShipper.h"

#include "FakeHttp.h"
#include "FakeScheduler.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace skrib::testing {
namespace {

using nlohmann::json;

class Shipper : public ::testing::Test {
protected:
    Shipper() {
        shipper = LogShipper::create("http://127.0.0.1:8787", http.sharedSession(), queue,
                                     [this] { return deviceId; });
    }
    void logMany(int from, int to) {
        for (int i = from; i < to; ++i) {
            shipper->log("line " + std::to_string(i), "info", "macos-app");
        }
    }
    static std::vector<std::string> lines(int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i) {
            out.push_back("line " + std::to_string(i));
        }
        return out;
    }
    std::vector<std::string> pending() const {
        std::vector<std::string> out;
        for (const auto& e : shipper->pending()) {
            out.push_back(e.at("message"));
        }
        return out;
    }
    // 2026-12-05 08:26:45.999 UTC at virtual time 0.
    FakeScheduler queue{WallClock::time_point{} + std::chrono::milliseconds(1796459205999)};
    FakeHttpClient http;
    std::string deviceId = "DEVICE-1";
    std::shared_ptr<LogShipper> shipper;
};

TEST_F(Shipper, TheTwentiethEntryFlushesTheWholeBatchAtOnce) {
    logMany(0, 19);
    EXPECT_TRUE(http.sent().empty()) << "19 entries wait for the timer";
    shipper->log(std::string("⚠️ bad \xFF byte"), "error", "macos-app");
    ASSERT_EQ(http.sent().size(), 1u);
    const auto request = http.sent()[0].request;
    EXPECT_EQ(request.method + " " + request.url, "POST http://127.0.0.1:8787/logs");
    ASSERT_EQ(request.headers.size(), 2u);
    EXPECT_EQ(request.headers[1].name + "=" + request.headers[1].value, "x-device-id=DEVICE-1");
    const json entries = json::parse(request.body).at("entries");
    ASSERT_EQ(entries.size(), 20u);
    EXPECT_EQ(entries[0]["message"], "line 0");
    EXPECT_EQ(entries[19].dump(), R"({"level":"error","message":"⚠️ bad � byte",)"
                                  R"("source":"macos-app","ts":"2026-12-05T08:26:45Z"})");
    EXPECT_TRUE(shipper->pending().empty());
}

TEST_F(Shipper, TheTimerFlushesFirstAfterSixtyFiveSecondsThenEveryMinute) {
    logMany(0, 3);
    for (const auto& [step, sent] :
         {std::pair{64.9, 0u}, {0.1, 1u}, {59.9, 1u}, {0.1, 2u}, {120.0, 2u}}) {
        queue.advance(step);
        EXPECT_EQ(http.sent().size(), sent) << queue.absoluteTime();
        logMany(3, sent == 1u ? 4 : 3); // after the second flush, an empty buffer sends nothing
    }
    EXPECT_EQ(json::parse(http.sent()[0].request.body)["entries"].size(), 3u);
}

TEST_F(Shipper, OnlyATransportFailurePutsTheBatchBackInFrontAndTheNewestTwoHundredWait) {
    logMany(0, 25);
    http.respond(0, 500, R"({"error":"boom"})");
    EXPECT_EQ(pending(), lines(20, 25)) << "any HTTP answer counts as delivered";
    logMany(25, 45);
    http.fail(1, urlError::networkConnectionLost, "lost");
    EXPECT_EQ(pending(), lines(20, 45));

    http.failEverything = HttpError{urlError::notConnectedToInternet, "offline"};
    logMany(45, 300);
    EXPECT_EQ(pending(), lines(100, 300));
}

TEST_F(Shipper, WithoutADeviceIdentifierAFlushDropsTheBatch) {
    deviceId.clear();
    logMany(0, 45);
    EXPECT_EQ(pending(), lines(40, 45));
    queue.advance(65);
    EXPECT_TRUE(shipper->pending().empty());
    EXPECT_TRUE(http.sent().empty());
}

TEST_F(Shipper, ACompletionAfterTheShipperIsGoneDoesNothing) {
    logMany(0, 20);
    shipper.reset();
    http.fail(0, urlError::timedOut, "timed out");
    queue.advance(100);
}

} // namespace
} // namespace skrib::testing
