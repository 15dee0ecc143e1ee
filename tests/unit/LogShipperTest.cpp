#include "log/LogShipper.h"

#include "FakeHttp.h"
#include "FakeScheduler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

namespace skrib::testing {
namespace {

using nlohmann::json;

class Shipper : public ::testing::Test {
protected:
    std::shared_ptr<LogShipper> make() {
        shipper = LogShipper::create("http://127.0.0.1:8787", http.sharedSession(), queue,
                                     [this] { return deviceId; });
        return shipper;
    }
    void logMany(int count, int from = 0) {
        for (int i = from; i < from + count; ++i) {
            shipper->log("line " + std::to_string(i), "info", "macos-app");
        }
    }
    std::vector<std::string> pendingMessages() const {
        std::vector<std::string> out;
        for (const auto& e : shipper->pending()) {
            out.push_back(e.at("message"));
        }
        return out;
    }
    static std::vector<std::string> lines(int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i) {
            out.push_back("line " + std::to_string(i));
        }
        return out;
    }
    std::vector<std::string> sentMessages(std::size_t request) const {
        std::vector<std::string> out;
        const json body = json::parse(http.sent().at(request).request.body);
        for (const auto& e : body["entries"]) {
            out.push_back(e["message"]);
        }
        return out;
    }

    FakeScheduler queue{WallClock::time_point{} + std::chrono::seconds(1796459205)};
    FakeHttpClient http;
    std::string deviceId = "DEVICE-1";
    std::shared_ptr<LogShipper> shipper;
};

TEST_F(Shipper, TwentiethEntryFlushesOnTheCallersThreadWithTheWholeBatch) {
    make();
    logMany(19);
    EXPECT_TRUE(http.sent().empty()) << "19 entries wait for the timer";
    shipper->log("⚠️ twentieth", "error", "macos-app");
    ASSERT_EQ(http.sent().size(), 1u);
    const auto request = http.sent()[0].request;
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "http://127.0.0.1:8787/logs");
    EXPECT_EQ(request.timeoutSeconds, 10);
    EXPECT_THAT(request.headers, ::testing::SizeIs(2));
    EXPECT_EQ(request.headers[0].name + "=" + request.headers[0].value,
              "Content-Type=application/json");
    EXPECT_EQ(request.headers[1].name + "=" + request.headers[1].value, "x-device-id=DEVICE-1");
    const json body = json::parse(request.body);
    ASSERT_EQ(body.size(), 1u);
    ASSERT_EQ(body["entries"].size(), 20u);
    EXPECT_EQ(body["entries"][19], (json{{"message", "⚠️ twentieth"},
                                         {"level", "error"},
                                         {"source", "macos-app"},
                                         {"ts", "2026-12-05T08:26:45Z"}}));
    EXPECT_EQ(sentMessages(0).front(), "line 0");
    EXPECT_TRUE(shipper->pending().empty());
}

TEST_F(Shipper, TimerFlushesFirstAfterSixtyFiveSecondsThenEveryMinute) {
    make();
    logMany(3);
    queue.advance(64.9);
    EXPECT_TRUE(http.sent().empty());
    queue.advance(0.1);
    ASSERT_EQ(http.sent().size(), 1u);
    EXPECT_EQ(sentMessages(0), lines(0, 3));
    logMany(1, 3);
    queue.advance(59.9);
    EXPECT_EQ(http.sent().size(), 1u);
    queue.advance(0.1);
    EXPECT_EQ(http.sent().size(), 2u);
    queue.advance(120);
    EXPECT_EQ(http.sent().size(), 2u) << "an empty buffer sends nothing";
}

TEST_F(Shipper, UnderALongOutageTheNewestTwoHundredWait) {
    http.failEverything = HttpError{urlError::notConnectedToInternet, "offline"};
    make();
    logMany(250);
    EXPECT_EQ(pendingMessages(), lines(50, 250));
}

TEST_F(Shipper, AFailedBatchGoesBackInFrontOfNewerEntries) {
    make();
    logMany(20);
    logMany(5, 20);
    http.fail(0, urlError::networkConnectionLost, "lost");
    auto expected = lines(0, 20);
    const auto newer = lines(20, 25);
    expected.insert(expected.end(), newer.begin(), newer.end());
    EXPECT_EQ(pendingMessages(), expected);
}

TEST_F(Shipper, AnyHttpAnswerCountsAsDelivered) {
    make();
    logMany(20);
    http.respond(0, 500, R"({"error":"boom"})");
    EXPECT_TRUE(shipper->pending().empty());
}

TEST_F(Shipper, WithoutADeviceIdentifierAFlushDropsTheBatch) {
    deviceId.clear();
    make();
    logMany(45);
    EXPECT_TRUE(http.sent().empty());
    EXPECT_EQ(pendingMessages(), lines(40, 45));
    queue.advance(65);
    EXPECT_TRUE(shipper->pending().empty());
    EXPECT_TRUE(http.sent().empty());
}

TEST_F(Shipper, TextThatIsNotUtf8StillMakesValidJson) {
    make();
    shipper->log(std::string("bad \xFF byte"), "info", "macos-app");
    shipper->flush();
    ASSERT_EQ(http.sent().size(), 1u);
    EXPECT_EQ(sentMessages(0), std::vector<std::string>{"bad \uFFFD byte"});
}

TEST_F(Shipper, CompletionAfterTheShipperIsGoneDoesNothing) {
    make();
    logMany(20);
    shipper.reset();
    http.fail(0, urlError::timedOut, "timed out");
    queue.advance(100);
    SUCCEED();
}

TEST(ShipperTimestamp, IsUtcSecondsWithZ) {
    const auto t = WallClock::time_point{} + std::chrono::milliseconds(1796459205999);
    EXPECT_EQ(LogShipper::isoTimestamp(t), "2026-12-05T08:26:45Z");
}

} // namespace
} // namespace skrib::testing
