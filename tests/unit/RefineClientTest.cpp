#include "service/RefineClient.h"

#include "service/MetricsSessionDelegate.h"

#include "FakeHttp.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;
using nlohmann::json;
using ::testing::ElementsAre;

const std::string wav("RIFF\x00\xFF\x00\x7F", 8); // NULs survive
const std::string m4a("\x00\x00\x00\x1C" "ftypM4A", 11);

std::string header(const HttpRequest& r, const std::string& name) {
    const auto h = std::ranges::find(r.headers, name, &HttpHeader::name);
    return h == r.headers.end() ? "<absent>" : h->value;
}

class Client : public ::testing::Test {
protected:
    ~Client() override { fs::remove_all(home); }

    void make(std::string origin = "http://127.0.0.1:8787/") {
        RefineClient::Environment environment{http,          secrets, defaults, std::move(origin),
                                              home.string(), "",      "6.1.0"};
        environment.now = [this] { return now; };
        client = std::make_unique<RefineClient>(std::move(environment));
    }
    /// Starts an upload, whose answer lands in `results`; the index of its request.
    std::size_t upload(std::optional<Clock::time_point> keyReleaseAt = std::nullopt,
                       AudioPayload audio = {wav, false, 0}) {
        client->process(std::move(audio), "dictation", keyReleaseAt,
                        [this](ProcessResult r) { results.push_back(std::move(r)); });
        return http.sent().size() - 1;
    }
    /// The index of the first request to `path`.
    std::size_t requestTo(const std::string& path) const {
        const auto sent = http.sent();
        const auto url = [](const auto& s) { return s.request.url; };
        return std::ranges::find(sent, "http://127.0.0.1:8787" + path, url) - sent.begin();
    }

    LogCapture log;
    std::string pattern = "/tmp/skrib-client-XXXXXX";
    fs::path home = ::mkdtemp(pattern.data());
    FakeHttpClient http;
    MemorySecretStore secrets;
    MemoryDefaults defaults;
    Clock::time_point now = Clock::time_point{} + std::chrono::seconds(1796459205);
    std::vector<ProcessResult> results;
    std::unique_ptr<RefineClient> client;
};

struct BodyCase { bool compressed; std::string vocabFile; bool vocabPart; };

class ProcessBody : public Client, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(ProcessBody, IsByteExactWithAFreshBoundaryEachTime) {
    const auto& c = GetParam();
    std::ofstream(home / ".vantu-skrib-backend.json") << c.vocabFile;
    make();
    const auto index = upload({}, {c.compressed ? m4a : wav, c.compressed});
    const auto sent = http.sent()[index];
    EXPECT_EQ(sent.session, 1) << "uploads go through the process session";
    EXPECT_EQ(header(sent.request, "x-device-id"), client->deviceId());
    const std::string contentType = header(sent.request, "Content-Type");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(contentType, m,
                                 std::regex("multipart/form-data; boundary=([0-9A-F]{8}-[0-9A-F]{4}"
                                            "-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12})")))
        << contentType;
    const std::string b = "\r\n--" + m[1].str() + "\r\nContent-Disposition: form-data; name=";
    const auto& audio = c.compressed ? m4a : wav;
    std::string expected = b.substr(2) + "\"audio\"; filename=\"recording.";
    expected += c.compressed ? "m4a\"\r\nContent-Type: audio/mp4\r\n\r\n"
                             : "wav\"\r\nContent-Type: audio/wav\r\n\r\n";
    expected.append(audio.begin(), audio.end());
    expected += c.vocabPart ? b + "\"vocab\"\r\n\r\nKubernetes, Qorin, naïve" : "";
    expected += b + "\"source\"\r\n\r\ndictation\r\n--" + m[1].str() + "--\r\n";
    EXPECT_EQ(sent.request.body, expected);
    const auto second = upload();
    EXPECT_NE(header(http.sent()[second].request, "Content-Type"), contentType);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcessBody, ::testing::Values(BodyCase{false, R"({"vocab":""})", false}, BodyCase{false, "{not json", false}, BodyCase{true, R"({"vocab":"Kubernetes, Qorin, naïve","x":1})", true}));

struct AnswerCase {
    int status; // below 0: a transport error of this code
    std::string body;
    ProcessResult expected;
    std::string line; // the ⚠️ or ✨ line, if any
};

class ProcessAnswer : public Client, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ProcessAnswer, MapsEachOutcomeToOneResultAndOneLine) {
    const auto& c = GetParam();
    make();
    c.status < 0 ? http.fail(upload(), c.status, "gone") : http.respond(upload(), c.status, c.body);
    EXPECT_THAT(results, ElementsAre(c.expected));
    auto lines = log.messages();
    std::erase_if(lines, [](auto& m) { return !m.starts_with("⚠️") && !m.starts_with("✨"); });
    EXPECT_EQ(lines, c.line.empty() ? std::vector<std::string>{} : std::vector{c.line});
}

const std::string w65(65, 'w'), gone = "⚠️ Process failed: gone";
const auto ok = &ProcessResult::success;
// An error answer carries its HTTP status (0: the service was not reached).
const auto error = [](std::string message, int status = 0) {
    return ProcessResult::error(std::move(message), status);
};
const auto again = error("Something went wrong — try again");
const auto network = error("Connection failed — check your network");
const auto server = [](int status) { return error("Server error — try again", status); };

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ProcessAnswer, ::testing::Values(
    AnswerCase{200, R"({"raw":"hi","refined":"Hi.","total_ms":812})", ok("hi", "Hi."), "✨ Processed in 812ms: Hi."},
    AnswerCase{200, R"({"raw":"x","total_ms":"12"})", ok("x", {}), "✨ Processed in 0ms: nil"},
    AnswerCase{200, R"({"refined":")" + w65 + R"("})", ok({}, w65), "✨ Processed in 0ms: " + w65.substr(0, 60)},
    AnswerCase{200, R"(["raw","refined"])", error("Something went wrong — try again", 200), ""},
    AnswerCase{429, "\x01\x02", ProcessResult::rateLimited(), "⚠️ Daily limit reached"},
    AnswerCase{400, R"({"error":"missing audio"})", error("No audio captured", 400), "⚠️ Server error 400: missing audio"},
    AnswerCase{400, R"({"error":"too long"})", error("too long", 400), "⚠️ Server error 400: too long"},
    AnswerCase{500, R"({"error":"processing failed"})", error("Processing failed — try again", 500), "⚠️ Server error 500: processing failed"},
    AnswerCase{500, R"({"error":"Processing Failed"})", server(500), "⚠️ Server error 500: Processing Failed"},
    AnswerCase{500, R"({"error":42})", server(500), "⚠️ Server error 500"},
    AnswerCase{503, R"({"error":"queue full"})", error("Server temporarily unavailable", 503), "⚠️ Server error 503: queue full"},
    AnswerCase{502, "", server(502), "⚠️ Server error 502"},
    AnswerCase{-1009, "", error("No internet connection"), gone},
    AnswerCase{-1200, "", network, gone},
    AnswerCase{-1206, "", network, gone},
    AnswerCase{-1207, "", again, gone},
    AnswerCase{-1199, "", again, gone},
    AnswerCase{-1001, "", error("Request timed out — try again"), gone},
    AnswerCase{-1005, "", error("Connection lost — try again"), gone}));
// clang-format on

TEST_F(Client, TheLatencyLineCarriesTheTimingOfItsOwnTaskEvenWhenTheClientIsGone) {
    make();
    const auto first = upload(now), second = upload(now), third = upload(now);
    now += std::chrono::milliseconds(1500);
    const NetworkTiming timing{0, 0, 0, 12, 800, 3, 820, true};
    http.respond(second, 200, R"({"refined":"b"})", timing);
    http.respond(first, 200, R"({"refined":"a"})");
    client.reset();
    http.respond(third, 200, R"({"refined":"c"})", timing);
    char line[96];
    std::snprintf(line, sizeof line,
                  "⏱ LATENCY key-release→response=1500ms | body-build=0ms payload=%.1fKB | ",
                  http.sent()[second].request.body.size() / 1024.0);
    const std::string none = line + std::string("net[n/a]");
    EXPECT_THAT(log.matching("⏱"), ElementsAre(line + timing.summary(), none, none));
    EXPECT_EQ(results.size(), 3u);
}

TEST(SharedClient, ItsMakingMayLogWhileLoggingAsksForIt) {
    // The log shipper reads the shared client's identity on whichever thread logs.
    struct AskingSink : LogSink {
        void log(std::string_view, std::string_view, std::string_view) override {
            RefineClient::sharedIfCreated();
        }
    };
    LogCapture capture;
    setLogSink(std::make_shared<AskingSink>());
    RefineClient::setSharedFactory([]() -> std::unique_ptr<RefineClient> {
        debugLog("🔑 settling the identity");
        return nullptr;
    });
    auto made = std::make_shared<std::promise<void>>();
    auto ready = made->get_future();
    std::thread([made] { RefineClient::shared(), made->set_value(); }).detach();
    ASSERT_EQ(ready.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "hung";
    RefineClient::setSharedFactory({});
}

TEST_F(Client, ALongRecordingWaitsLongerForTheServiceToRecogniseIt) {
    make();
    const auto hour = upload(std::nullopt, {wav, false, 3600}), brief = upload(std::nullopt);
    EXPECT_EQ(http.sent()[hour].request.timeoutSeconds, 480);
    EXPECT_EQ(http.sent()[brief].request.timeoutSeconds, 120);
}

TEST_F(Client, ABadOriginCompletesAtOnceAndSendsNothing) {
    make("not a url");
    upload();
    EXPECT_TRUE(http.sent().empty());
    EXPECT_THAT(results, ElementsAre(ProcessResult::error("Something went wrong — try again")));
}

TEST_F(Client, RegistersAndWarmsUpEachOnItsOwnSession) {
    make();
    client->warmConnection();
    const auto sent = http.sent();
    const auto& registration = sent.at(requestTo("/register"));
    EXPECT_EQ(registration.request.body, R"({"device_id":")" + client->deviceId() +
                                             R"(","device_name":"unknown","os_version":"6.1.0"})");
    const auto& warm = sent.at(requestTo("/update/check?v=warm"));
    EXPECT_EQ(warm.session, 1) << "the upload's connection is the one to warm";
    http.respond(requestTo("/register"), 500, "oops");
    EXPECT_EQ(log.matching("✅ Device registered").size(), 1u) << "any HTTP answer will do";
}

struct SeedCase {
    std::optional<std::string> vocabFile;
    std::optional<std::string> localPreset;
    std::string profileBody;
    std::optional<std::string> vocabAfter, presetAfter;
    std::vector<std::string> cloudLines;
};

class ProfileSeeding : public Client, public ::testing::WithParamInterface<SeedCase> {};

TEST_P(ProfileSeeding, FillsOnlyEmptyLocalValues) {
    const auto& c = GetParam();
    if (c.vocabFile) {
        std::ofstream(home / ".vantu-skrib-backend.json") << *c.vocabFile;
    }
    if (c.localPreset) {
        defaults.set("stylePreset", DefaultsValue(*c.localPreset));
    }
    make();
    const auto profile = requestTo("/profile");
    EXPECT_EQ(header(http.sent()[profile].request, "x-device-id"), client->deviceId());
    client.reset(); // a late answer (at quit, say) is stored all the same
    http.respond(profile, 200, c.profileBody);
    make();
    EXPECT_EQ(client->loadVocab(), c.vocabAfter);
    EXPECT_EQ(defaults.stringValue("stylePreset"), c.presetAfter);
    EXPECT_EQ(log.matching("☁️"), c.cloudLines);
}

const std::string x49(49, 'x'), vocab = "☁️ Loaded vocab from server: ";
const std::string full = json{{"vocab", x49 + "🎙🎙"}, {"style_preset", "custom"}}.dump();

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ProfileSeeding, ::testing::Values(
    SeedCase{{}, {}, full, x49 + "🎙🎙", "custom", {vocab + x49 + "🎙", "☁️ Loaded style from server: custom"}},
    SeedCase{R"({"vocab":"mine"})", "casual", full, "mine", "casual", {}},
    SeedCase{R"({"vocab":""})", "", R"({"vocab":"them","style_preset":"minimal"})", "them", "minimal", {vocab + "them", "☁️ Loaded style from server: minimal"}},
    SeedCase{{}, {}, R"({"vocab":7,"style_preset":["a"]})", {}, {}, {}},
    SeedCase{{}, {}, R"(["vocab","x"])", {}, {}, {}}));
// clang-format on

TEST_F(Client, HistoryKeepsOnlyWellFormedEntriesInOrder) {
    make();
    std::vector<Transcript> got;
    bool more = false;
    client->fetchTranscripts(120, 50, [&](auto t, bool m) { std::tie(got, more) = {t, m}; });
    http.respond(requestTo("/transcripts?limit=50&after=120"), 200, R"({"transcripts":[
        {"id":9,"raw":"a","refined":"A.","created_at":"2026-12-05T08:26:45.123Z"},
        {"id":"8","raw":"b","refined":"B.","created_at":"x"},
        {"id":7,"raw":"c","refined":null,"created_at":"x"}, 42,
        {"id":18446744073709551615,"raw":"a","refined":"b","created_at":"c"},
        {"id":6,"raw":"d","refined":"D.","created_at":"y","extra":true}], "has_more":true})");
    EXPECT_EQ(got, (std::vector<Transcript>{{9, "a", "A.", "2026-12-05T08:26:45.123Z"},
                                            {6, "d", "D.", "y"}}));
    EXPECT_TRUE(more);
    client->fetchTranscripts(std::nullopt, 20, [](auto, bool) {});
    EXPECT_NE(requestTo("/transcripts?limit=20"), SIZE_MAX);
}


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
} // namespace skrib::testing
