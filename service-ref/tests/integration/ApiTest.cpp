// The service's HTTP interface, served in-process: each endpoint with good and bad input, the
// daily limit, and synthesised speech uploaded as the program does.
#include "IsoTime.h"
#include "TestSupport.h"

#include <cstring>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace skrib::service::test {
namespace {

// A request and the answer it must get.
struct Exchange {
    const char* name;
    std::string path;
    std::optional<std::string> body; // nothing: GET
    std::optional<std::string> device;
    int status;
    std::string answer; // a piece of the body
    std::string contentType = "application/json";
    std::string (*makeBody)() = nullptr; // a body too big to make before the test runs
};

// Says "said" to up to a minute of audio and fails on more, which no recogniser should be given.
struct StandInRecognizer : SpeechRecognizer {
    std::optional<std::string> recognize(std::span<const std::int16_t> samples) override {
        return samples.size() <= 60 * 16000 ? std::optional<std::string>("said") : std::nullopt;
    }
};

class ApiTest : public testing::TestWithParam<Exchange> {
protected:
    static void SetUpTestSuite() {
        static WorkPool pool = [] {
            std::vector<std::unique_ptr<SpeechRecognizer>> recognizers;
            recognizers.push_back(std::make_unique<StandInRecognizer>());
            recognizers.push_back(std::make_unique<StandInRecognizer>());
            return WorkPool(std::move(recognizers), 2);
        }();
        service_ = std::make_unique<InProcessService>(
            pool, ServiceConfig{},
            ReleaseManifest{"1.4.0", "https://x.test/1.4.0.dmg", std::string(86, 'A') + "==", 5});
        for (int i = 1; i <= 3; ++i) {
            service_->storage().addTranscript("PAGED", "raw " + std::to_string(i), "Refined.",
                                              "dictation", i, 1);
        }
    }
    static void TearDownTestSuite() { service_.reset(); }
    static inline std::unique_ptr<InProcessService> service_;
};

TEST_P(ApiTest, AnswersWithTheStatusAndBody) {
    const Exchange& c = GetParam();
    httplib::Headers headers;
    if (c.device) {
        headers.emplace("x-device-id", *c.device);
    }
    auto http = service_->client();
    const auto body = c.makeBody != nullptr ? std::optional(c.makeBody()) : c.body;
    const auto result = body ? http->Post(c.path, headers, *body, c.contentType.c_str())
                             : http->Get(c.path, headers);
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, c.status) << result->body;
    EXPECT_NE(result->body.find(c.answer), std::string::npos) << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    // Refused requests come from the device "NO", which therefore has nothing stored.
    Storage& storage = service_->storage();
    const StoredProfile profile = storage.profile("NO");
    EXPECT_FALSE(profile.vocab || profile.stylePreset);
    EXPECT_TRUE(storage.logs("NO").empty());
    EXPECT_TRUE(storage.transcripts("NO", 10, {}).transcripts.empty());
}

// clang-format off
// Half a second of silence: a 16 kHz mono 16-bit WAV file.
const std::string silence =
    std::string("RIFF\xA4\x3E\0\0WAVEfmt \x10\0\0\0\1\0\1\0\x80\x3E\0\0\0\x7D\0\0\2\0\x10\0data\x80\x3E\0\0",
                44) + std::string(16000, '\0');

const std::string multipart = buildUpload("", false, {}).contentType();

// A 16-bit mono WAV file of `seconds` at `rate`: a second of 400 Hz square wave in every ten.
std::string bursts(std::uint32_t seconds, std::uint32_t rate) {
    std::string wav = silence.substr(0, 44), tone;
    const auto put = [&wav](std::size_t at, std::uint32_t value) { std::memcpy(&wav[at], &value, 4); };
    put(4, 36 + seconds * rate * 2), put(24, rate), put(28, rate * 2), put(40, seconds * rate * 2);
    for (std::uint32_t i = 0; i < rate; ++i) {
        tone += i % (rate / 400) < rate / 800 ? "\x10\x10" : "\xF0\xEF";
    }
    for (std::uint32_t second = 0; second < seconds; ++second) {
        wav += second % 10 == 0 ? tone : std::string(rate * 2, '\0');
    }
    return wav;
}

// A /process body as the program sends it, changed by `change`.
Exchange upload(const char* name, std::string (*change)(std::string), const char* answer,
                std::string contentType = multipart) {
    return {name, "/process", change(buildUpload(silence, false, "Qorin").body), "NO", 400, answer,
            std::move(contentType)};
}

std::string logs(int count) {
    std::string entries = R"({"message":"m","level":"info"})";
    for (int i = 1; i < count; ++i) {
        entries += R"(,{"message":"m","level":"info"})";
    }
    return R"({"entries":[)" + entries + "]}";
}

INSTANTIATE_TEST_SUITE_P(Endpoints, ApiTest, testing::Values(
    Exchange{"Health", "/health", {}, {}, 200, R"("running":0)"},
    Exchange{"Register", "/register", R"({"device_id":"R","device_name":"Ada"})", {}, 200, R"("first_seen":")"},
    Exchange{"RegisterNotJson", "/register", "device_id=1", {}, 400, "not valid JSON"},
    Exchange{"RegisterIdWithSpace", "/register", R"({"device_id":"a b"})", {}, 400, R"(invalid \"device_id\")"},
    Exchange{"ProfileDefaults", "/profile", {}, "NEW", 200,
             R"({"custom_prompt":"","style_preset":"professional","vocab":""})"},
    Exchange{"ProfileWithoutDevice", "/profile", {}, {}, 400, "missing x-device-id"},
    Exchange{"SetVocab", "/profile", R"({"vocab":"Qorin"})", "V", 200, R"("vocab":"Qorin")"},
    Exchange{"SetVocabTooLong", "/profile", R"({"vocab":")" + std::string(70000, 'v') + "\"}", "NO", 400, "too long"},
    Exchange{"SetStyle", "/style", R"({"style_preset":"custom","custom_prompt":"Terse."})", "S", 200,
             R"("custom_prompt":"Terse.","style_preset":"custom")"},
    Exchange{"SetStyleWrongCase", "/style", R"({"style_preset":"Casual"})", "NO", 400, R"(unknown \"style_preset\")"},
    Exchange{"Logs", "/logs", logs(2), "L", 200, R"({"stored":2})"},
    Exchange{"LogsTooMany", "/logs", logs(1001), "NO", 400, "too many entries"},
    Exchange{"LogsDeepNesting", "/logs", std::string(100000, '[') + std::string(100000, ']'), "NO", 400, "JSON object"},
    Exchange{"BodyOverOneMegabyte", "/logs", std::string((1 << 20) + 1, ' '), "NO", 413, "too large"},
    Exchange{"TranscriptsNewestFirst", "/transcripts?limit=2", {}, "PAGED", 200,
             R"({"has_more":true,"transcripts":[{"created_at":"1970-01-01T00:00:00.003Z","id":3,"raw":"raw 3",)"
             R"("refined":"Refined."},{"created_at")"},
    Exchange{"TranscriptsAfterToTheEnd", "/transcripts?limit=1&after=2", {}, "PAGED", 200,
             R"({"has_more":false,"transcripts":[{"created_at":"1970-01-01T00:00:00.001Z","id":1,"raw":"raw 1",)"
             R"("refined":"Refined."}]})"},
    Exchange{"TranscriptsOfAnotherDevice", "/transcripts", {}, "NEW", 200, R"({"has_more":false,"transcripts":[]})"},
    Exchange{"TranscriptsLimitZero", "/transcripts?limit=0", {}, "PAGED", 400, "whole number"},
    Exchange{"UpdateForAnOlderVersion", "/update/check?v=1.3.9", {}, {}, 200,
             R"({"download_url":"https://x.test/1.4.0.dmg","latest":"1.4.0","signature":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==","size":5,"update_available":true})"},
    Exchange{"UpdateWithoutVersion", "/update/check", {}, {}, 400, "missing query parameter v"},
    Exchange{"ProcessDeviceWithSpace", "/process", buildUpload(silence, false, {}).body, "two words", 400,
             "invalid x-device-id", multipart},
    upload("TextInsteadOfAudio", [](std::string b) { return b.replace(b.find("RIFF"), 4, "TEXT"); },
           "could not be decoded"),
    upload("NotMultipart", [](std::string b) { return b; }, "multipart", "audio/wav"),
    upload("OtherBoundaryThanTheBody", [](std::string b) { return b; }, "malformed multipart", "multipart/form-data; boundary=OTHER"),
    upload("CutBeforeTheClosingDelimiter", [](std::string b) { return b.substr(0, b.size() - 10); },
           "malformed multipart"),
    upload("NoAudioPart", [](std::string b) { return b.replace(b.find("audio"), 5, "extra"); }, "missing audio"),
    upload("AudioTwice", [](std::string b) { return b.replace(b.find(R"("source")"), 8, R"("audio")"); },
           "more than once"),
    Exchange{"AnHourOfWav", "/process", {}, "HOUR", 200, R"("raw":"said said)", multipart,
             [] { return buildUpload(bursts(3600, 16000), false, {}).body; }},
    Exchange{"AnHourOfM4a", "/process", {}, "HOUR", 200, R"("raw":"said said)", multipart,
             [] { return buildUpload(wavToM4a(bursts(3600, 16000)), true, {}).body; }},
    Exchange{"OverAnHour", "/process", {}, "NO", 413, "too long (at most 3600 s)", multipart,
             [] { return buildUpload(bursts(3601, 8000), false, {}).body; }},
    Exchange{"BodyOverTheCap", "/process", {}, "NO", 413, "request body too large (at most", multipart,
             [] { return buildUpload(bursts(3700, 16000), false, {}).body; }},
    upload("SourceTooLong", [](std::string b) { return b.replace(b.find("dictation"), 9, std::string(65, 's')); },
           "source")),
    [](const auto& info) { return info.param.name; });
// clang-format on

// Uploads of silence, which are transcribed to nothing but count all the same.
TEST(DailyLimit, RefusesBeyondTheLimitPerDeviceUntilTheNextUtcDay) {
    ServiceConfig config;
    config.dailyLimit = 2;
    InProcessService service(sharedPool(), config);
    const auto post = [&](const std::string& device, const std::string& audio) {
        const Upload upload = buildUpload(audio, false, {});
        const auto result = service.client()->Post("/process", {{"x-device-id", device}},
                                                   upload.body, upload.contentType().c_str());
        return result ? result->status : 0;
    };
    const std::int64_t lateOnJune14 = 1749945599000; // 2025-06-14T23:59:59.000Z
    service.setNow(lateOnJune14);
    EXPECT_EQ(post("A", "not audio"), 400);
    EXPECT_EQ(post("A", silence), 200) << "a refused upload used none of the limit";
    EXPECT_EQ(post("A", silence), 200);
    EXPECT_EQ(post("A", silence), 429);
    EXPECT_EQ(post("B", silence), 200) << "the limit is per device";
    EXPECT_EQ(service.storage().usesOn("A", utcDay(lateOnJune14)), 2);
    service.setNow(lateOnJune14 + 999);
    EXPECT_EQ(post("A", silence), 429);
    service.setNow(lateOnJune14 + 1000);
    EXPECT_EQ(post("A", silence), 200) << "a new UTC day starts afresh";
}

struct SpeechCase {
    const char* name;
    bool m4a;
    bool vocabInProfile; // else in the upload
};

class SpeechTest : public testing::TestWithParam<SpeechCase> {};

TEST_P(SpeechTest, IsRecognisedRefinedAndStored) {
    const SpeechCase& c = GetParam();
    const std::string sentence =
        "please send the quarterly report to the finance team before friday";
    const std::string wav = speakWav(sentence);
    // The WAV at 44.1 kHz stereo, which must be mixed down and resampled; the M4A as the program
    // compresses it.
    const std::string audio =
        c.m4a ? wavToM4a(wav) : convertWithFfmpeg(wav, {"-ar", "44100", "-ac", "2", "-f", "wav"});
    InProcessService service(sharedPool());
    auto http = service.client();
    const httplib::Headers device = {{"x-device-id", "SPEECH"}};
    if (c.vocabInProfile) {
        ASSERT_EQ(
            http->Post("/profile", device, R"({"vocab":"Fryday"})", "application/json")->status,
            200);
    }
    const Upload upload =
        buildUpload(audio, c.m4a, c.vocabInProfile ? std::nullopt : std::optional("Fryday"));
    const auto result = http->Post("/process", device, upload.body, upload.contentType().c_str());
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    const auto body = nlohmann::json::parse(result->body);
    const auto raw = body["raw"].get<std::string>();
    const auto refined = body["refined"].get<std::string>();
    std::istringstream words(sentence);
    std::size_t missing = 0;
    for (std::string word; words >> word;) {
        missing += raw.find(word) == std::string::npos ? 1 : 0;
    }
    EXPECT_LE(missing, 2u) << "raw: " << raw;
    EXPECT_TRUE(refined.starts_with("Please ") && refined.ends_with(".")) << refined;
    EXPECT_NE(refined.find("Fryday"), std::string::npos) << "the vocabulary applies: " << refined;

    const auto stored =
        nlohmann::json::parse(http->Get("/transcripts", device)->body)["transcripts"];
    ASSERT_EQ(stored.size(), 1u) << stored;
    for (const char* key : {"id", "raw", "refined"}) {
        EXPECT_EQ(stored[0][key], body[key]) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, SpeechTest,
                         testing::Values(SpeechCase{"Wav44kStereoWithProfileVocab", false, true},
                                         SpeechCase{"ProgramsM4aWithUploadVocab", true, false}),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service::test
