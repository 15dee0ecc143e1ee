#include "FakeHttp.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "service/RefineClient.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;
using ::testing::ElementsAre;

const std::vector<std::uint8_t> wav = [] {
    std::vector<std::uint8_t> bytes(44 + 320, 0);
    std::memcpy(bytes.data(), "RIFF", 4);
    bytes[100] = 0x00; // a zero byte inside the payload must survive
    bytes[101] = 0xFF;
    return bytes;
}();
const std::vector<std::uint8_t> m4a{0x00, 0x00, 0x00, 0x1C, 'f', 't',  'y',
                                    'p',  'M',  '4',  'A',  ' ', 0x0D, 0x0A};

class Process : public ::testing::Test {
protected:
    Process() {
        char pattern[] = "/tmp/skrib-process-XXXXXX";
        home = ::mkdtemp(pattern);
    }
    ~Process() override { fs::remove_all(home); }

    RefineClient& make(std::optional<std::vector<std::uint8_t>> compressed = std::nullopt,
                       std::string origin = "http://127.0.0.1:8787") {
        RefineClient::Environment environment{http,          secrets, defaults, std::move(origin),
                                              home.string(), "pc",    "6.1.0"};
        environment.compressAudio = [this, compressed](const std::vector<std::uint8_t>& in) {
            compressorInput = in;
            return compressed;
        };
        environment.now = [this] { return now; };
        client = std::make_unique<RefineClient>(std::move(environment));
        for (std::size_t i = 0; i < http.sent().size(); ++i) {
            http.respond(i, 200, "{}"); // registration and profile
        }
        log.clear();
        return *client;
    }
    // Starts an upload; answers are collected in `results`.
    std::size_t upload(std::optional<Clock::time_point> keyReleaseAt = std::nullopt) {
        client->process(wav, "dictation", keyReleaseAt,
                        [this](ProcessResult r) { results.push_back(std::move(r)); });
        return http.sent().size() - 1;
    }
    std::string header(std::size_t index, const std::string& name) const {
        const auto sent = http.sent();
        for (const auto& h : sent[index].request.headers) {
            if (h.name == name) {
                return h.value;
            }
        }
        return "<absent>";
    }

    LogCapture log;
    fs::path home;
    FakeHttpClient http;
    MemorySecretStore secrets;
    MemoryDefaults defaults;
    Clock::time_point now = Clock::time_point{} + std::chrono::seconds(1796459205);
    std::vector<std::uint8_t> compressorInput;
    std::vector<ProcessResult> results;
    std::unique_ptr<RefineClient> client;
};

// MARK: - The request

struct BodyCase {
    const char* name;
    bool compressed;
    std::optional<std::string> vocabFile; // content of the vocabulary file
    bool vocabPart;
};

class ProcessBody : public Process, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(ProcessBody, IsByteExact) {
    const auto& c = GetParam();
    if (c.vocabFile) {
        std::ofstream(home / ".vantu-skrib-backend.json") << *c.vocabFile;
    }
    make(c.compressed ? std::optional(m4a) : std::nullopt);
    const auto index = upload();
    EXPECT_EQ(compressorInput, wav);
    const auto sent = http.sent()[index];
    EXPECT_EQ(sent.request.method, "POST");
    EXPECT_EQ(sent.request.url, "http://127.0.0.1:8787/process");
    EXPECT_EQ(sent.request.timeoutSeconds, 120);
    EXPECT_EQ(sent.session, 1) << "uploads go through the process session";
    ASSERT_EQ(sent.request.headers.size(), 2u);
    const std::string contentType = header(index, "Content-Type");
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(contentType, m,
                         std::regex("multipart/form-data; boundary=([0-9A-F]{8}-[0-9A-F]{4}-"
                                    "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})")))
        << contentType;
    const std::string b = m[1];
    EXPECT_EQ(header(index, "x-device-id"), client->deviceId());

    const auto& audio = c.compressed ? m4a : wav;
    std::string expected = "--" + b + "\r\n";
    expected +=
        c.compressed
            ? "Content-Disposition: form-data; name=\"audio\"; filename=\"recording.m4a\"\r\n"
              "Content-Type: audio/mp4\r\n\r\n"
            : "Content-Disposition: form-data; name=\"audio\"; filename=\"recording.wav\"\r\n"
              "Content-Type: audio/wav\r\n\r\n";
    expected.append(audio.begin(), audio.end());
    if (c.vocabPart) {
        expected += "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"vocab\"\r\n\r\n";
        expected += "Kubernetes, Qorin, naïve";
    }
    expected += "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"source\"\r\n\r\n";
    expected += "dictation\r\n--" + b + "--\r\n";
    EXPECT_EQ(sent.request.body, expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessBody,
    ::testing::Values(
        BodyCase{"wavNoVocabFile", false, std::nullopt, false},
        BodyCase{"wavEmptyVocab", false, R"({"vocab":""})", false},
        BodyCase{"wavCorruptVocabFile", false, "{not json", false},
        BodyCase{"wavWithVocab", false, R"({"vocab":"Kubernetes, Qorin, naïve","x":1})", true},
        BodyCase{"m4aNoVocab", true, std::nullopt, false},
        BodyCase{"m4aWithVocab", true, R"({"vocab":"Kubernetes, Qorin, naïve"})", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Process, EachRequestHasAFreshBoundaryAndCompressionIsLogged) {
    make(m4a);
    const auto first = upload();
    const auto second = upload();
    EXPECT_NE(header(first, "Content-Type"), header(second, "Content-Type"));
    EXPECT_THAT(log.matching("🗜"), ElementsAre("🗜 Compressed 0KB→0KB (26.0x) in 0ms",
                                                  "🗜 Compressed 0KB→0KB (26.0x) in 0ms"));
}

TEST_F(Process, NoCompressionLineWhenTheWavIsSent) {
    make(std::nullopt);
    upload();
    EXPECT_TRUE(log.matching("🗜").empty());
}

// MARK: - Answers

struct AnswerCase {
    const char* name;
    int status;
    std::string body;
    ProcessResult expected;
    std::vector<std::string> lines; // ⚠️ and ✨ lines
};

class ProcessAnswer : public Process, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ProcessAnswer, MapsStatusAndBodyToOneResult) {
    const auto& c = GetParam();
    make();
    http.respond(upload(), c.status, c.body);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], c.expected) << c.name;
    std::vector<std::string> lines = log.matching("⚠️");
    const auto processed = log.matching("✨");
    lines.insert(lines.end(), processed.begin(), processed.end());
    EXPECT_EQ(lines, c.lines) << c.name;
}

const std::string sixtyFive(65, 'w');

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessAnswer,
    ::testing::Values(AnswerCase{"ok",
                                 200,
                                 R"({"raw":"hello world","refined":"Hello world.","total_ms":812})",
                                 ProcessResult::success("hello world", "Hello world."),
                                 {"✨ Processed in 812ms: Hello world."}},
                      AnswerCase{"onlyRefined",
                                 200,
                                 R"({"refined":"Hi."})",
                                 ProcessResult::success({}, "Hi."),
                                 {"✨ Processed in 0ms: Hi."}},
                      AnswerCase{"noRefined",
                                 200,
                                 R"({"raw":"x","total_ms":"12"})",
                                 ProcessResult::success("x", {}),
                                 {"✨ Processed in 0ms: nil"}},
                      AnswerCase{"longRefinedIsCut",
                                 200,
                                 R"({"refined":")" + sixtyFive + R"("})",
                                 ProcessResult::success({}, sixtyFive),
                                 {"✨ Processed in 0ms: " + sixtyFive.substr(0, 60)}},
                      AnswerCase{"okNotJson",
                                 200,
                                 "Internal hiccup",
                                 ProcessResult::error("Something went wrong — try again"),
                                 {}},
                      AnswerCase{"okArray",
                                 200,
                                 R"(["raw","refined"])",
                                 ProcessResult::error("Something went wrong — try again"),
                                 {}},
                      AnswerCase{"rateLimited",
                                 429,
                                 R"({"error":"daily limit"})",
                                 ProcessResult::rateLimited(),
                                 {"⚠️ Daily limit reached"}},
                      AnswerCase{"rateLimitedGarbage",
                                 429,
                                 "\x01\x02",
                                 ProcessResult::rateLimited(),
                                 {"⚠️ Daily limit reached"}},
                      AnswerCase{"missingAudio",
                                 400,
                                 R"({"error":"missing audio"})",
                                 ProcessResult::error("No audio captured"),
                                 {"⚠️ Server error 400: missing audio"}},
                      AnswerCase{"badRequestText",
                                 400,
                                 R"j({"error":"audio too long (max 10 min)"})j",
                                 ProcessResult::error("audio too long (max 10 min)"),
                                 {"⚠️ Server error 400: audio too long (max 10 min)"}},
                      AnswerCase{"processingFailed",
                                 500,
                                 R"({"error":"processing failed"})",
                                 ProcessResult::error("Processing failed — try again"),
                                 {"⚠️ Server error 500: processing failed"}},
                      AnswerCase{"processingFailedCase",
                                 500,
                                 R"({"error":"Processing Failed"})",
                                 ProcessResult::error("Server error — try again"),
                                 {"⚠️ Server error 500: Processing Failed"}},
                      AnswerCase{"unavailableEmpty",
                                 503,
                                 "",
                                 ProcessResult::error("Server temporarily unavailable"),
                                 {"⚠️ Server error 503"}},
                      AnswerCase{"unavailableWithText",
                                 503,
                                 R"({"error":"queue full"})",
                                 ProcessResult::error("Server temporarily unavailable"),
                                 {"⚠️ Server error 503: queue full"}},
                      AnswerCase{"badGatewayEmpty",
                                 502,
                                 "",
                                 ProcessResult::error("Server error — try again"),
                                 {"⚠️ Server error 502"}},
                      AnswerCase{"errorNotString",
                                 500,
                                 R"({"error":42})",
                                 ProcessResult::error("Server error — try again"),
                                 {"⚠️ Server error 500"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct TransportCase {
    int code;
    const char* message;
};

class ProcessTransport : public Process, public ::testing::WithParamInterface<TransportCase> {};

TEST_P(ProcessTransport, MapsTheErrorCodeToAMessage) {
    make();
    http.fail(upload(), GetParam().code, "platform description");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], ProcessResult::error(GetParam().message));
    EXPECT_TRUE(log.contains("⚠️ Process failed: platform description"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessTransport,
    ::testing::Values(TransportCase{-1009, "No internet connection"},
                      TransportCase{-1200, "Connection failed — check your network"},
                      TransportCase{-1202, "Connection failed — check your network"},
                      TransportCase{-1206, "Connection failed — check your network"},
                      TransportCase{-1207, "Something went wrong — try again"},
                      TransportCase{-1199, "Something went wrong — try again"},
                      TransportCase{-1001, "Request timed out — try again"},
                      TransportCase{-1005, "Connection lost — try again"},
                      TransportCase{-1003, "Something went wrong — try again"},
                      TransportCase{-1004, "Something went wrong — try again"},
                      TransportCase{-1022, "Something went wrong — try again"}));

// MARK: - Latency line

TEST_F(Process, LatencyLineCarriesTheTimingOfItsOwnTask) {
    make();
    const auto keyRelease = now;
    const auto first = upload(keyRelease);
    const auto second = upload(keyRelease);
    now += std::chrono::milliseconds(1500);
    NetworkTiming timing{0, 0, 0, 12, 800, 3, 820, true};
    http.respond(second, 200, R"({"refined":"b"})", timing);
    http.respond(first, 200, R"({"refined":"a"})");
    const auto lines = log.matching("⏱");
    ASSERT_EQ(lines.size(), 2u);
    std::smatch m;
    const std::regex pattern(
        R"(⏱ LATENCY key-release→response=1500ms \| body-build=0ms payload=(\d+\.\d)KB \| (.*))");
    ASSERT_TRUE(std::regex_match(lines[0], m, pattern)) << lines[0];
    EXPECT_EQ(m[2], timing.summary());
    const double payload = std::stod(m[1]);
    EXPECT_NEAR(payload, static_cast<double>(http.sent()[second].request.body.size()) / 1024.0,
                0.05);
    ASSERT_TRUE(std::regex_match(lines[1], m, pattern)) << lines[1];
    EXPECT_EQ(m[2], "net[n/a]") << "no timing was delivered for the first upload";
    EXPECT_EQ(results.size(), 2u);
}

TEST_F(Process, NoLatencyLineWithoutAKeyReleaseTime) {
    make();
    http.fail(upload(), -1009, "offline");
    EXPECT_TRUE(log.matching("⏱").empty());
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(Process, ABadOriginCompletesAtOnceAndSendsNothing) {
    make(std::nullopt, "not a url");
    const auto before = http.sent().size();
    client->process(wav, "dictation", now, [this](ProcessResult r) { results.push_back(r); });
    EXPECT_EQ(http.sent().size(), before);
    EXPECT_THAT(results, ElementsAre(ProcessResult::error("Something went wrong — try again")));
}

TEST_F(Process, AnswerArrivingAfterTheClientIsGoneStillCompletesOnce) {
    make();
    const auto index = upload(now);
    client.reset();
    http.respond(index, 200, R"({"refined":"late"})", NetworkTiming{});
    EXPECT_THAT(results, ElementsAre(ProcessResult::success({}, "late")));
    EXPECT_THAT(log.matching("⏱").at(0), ::testing::EndsWith("| net[n/a]"));
}

} // namespace
} // namespace skrib::testing
