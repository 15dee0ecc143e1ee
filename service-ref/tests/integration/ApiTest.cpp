// The service's HTTP interface, served in-process: each endpoint with good and bad input, the
// daily limit, and synthesised speech uploaded as the program does.
#include "InProcessService.h"
#include "IsoTime.h"

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
    std::optional<std::string> device = "REFUSED";
    std::string contentType = "application/json";
    int status = 400;
    std::string answer = "";         // a piece of the body
};

// Holds three transcripts, with the ids 1 to 3.
const std::string pagedDevice = "PAGED";

class ApiTest : public testing::TestWithParam<Exchange> {
protected:
    static void SetUpTestSuite() {
        service_ = std::make_unique<InProcessService>(
            sharedPool(), ServiceConfig{}, ReleaseManifest{"1.4.0", "https://x.test/1.4.0.dmg"});
        for (int i = 1; i <= 3; ++i) {
            service_->storage().addTranscript(pagedDevice, "raw " + std::to_string(i), "Refined.",
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
    const auto result = c.body ? http->Post(c.path, headers, *c.body, c.contentType.c_str())
                               : http->Get(c.path, headers);
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, c.status) << result->body;
    EXPECT_NE(result->body.find(c.answer), std::string::npos) << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    // A refused request stores nothing.
    Storage& storage = service_->storage();
    const StoredProfile profile = storage.profile("REFUSED");
    EXPECT_FALSE(profile.vocab || profile.stylePreset);
    EXPECT_TRUE(storage.logs("REFUSED").empty());
    EXPECT_TRUE(storage.transcripts("REFUSED", 10, {}).transcripts.empty());
}

std::string silence() {
    return makeWav(Pcm{16000, 1, std::vector<std::int16_t>(8000)});
}

// A /process body as the program sends it, changed by `change`.
Exchange upload(const char* name, std::string (*change)(std::string), const char* answer,
                std::string contentType = buildUpload("", false, {}).contentType()) {
    return {name, "/process", change(buildUpload(silence(), false, "Qorin").body), "REFUSED",
            std::move(contentType), 400, answer};
}

// A /process body of hand-made parts.
Exchange form(const char* name, const std::vector<std::pair<std::string, std::string>>& parts,
              const char* answer) {
    std::string body;
    for (const auto& [disposition, data] : parts) {
        body += "--B\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + data +
                "\r\n";
    }
    return {name, "/process", body + "--B--\r\n", "REFUSED", "multipart/form-data; boundary=B",
            400, answer};
}

std::string logs(int count) {
    std::string entries;
    for (int i = 0; i < count; ++i) {
        entries += std::string(i == 0 ? "" : ",") + R"({"message":"m","level":"info"})";
    }
    return R"({"entries":[)" + entries + "]}";
}

const std::string audioPart = R"(name="audio"; filename="a.wav")";

INSTANTIATE_TEST_SUITE_P(
    Endpoints, ApiTest,
    testing::Values(
        Exchange{"Health", "/health", {}, {}, {}, 200, R"("running":0)"},
        Exchange{"Register", "/register", R"({"device_id":"REG","device_name":"Ada's laptop"})", {},
                 {}, 200, R"("first_seen":")"},
        Exchange{"RegisterNotJson", "/register", "device_id=1", {}, {}, 400, "not valid JSON"},
        Exchange{"RegisterIdWithSpace", "/register", R"({"device_id":"a b"})", {}, {}, 400,
                 R"(invalid \"device_id\")"},
        Exchange{"ProfileDefaults", "/profile", {}, "NEW", {}, 200,
                 R"({"custom_prompt":"","style_preset":"professional","vocab":""})"},
        Exchange{"ProfileWithoutDevice", "/profile", {}, {}, {}, 400, "missing x-device-id"},
        Exchange{"SetVocab", "/profile", R"({"vocab":"Qorin"})", "VOCAB", {}, 200,
                 R"("vocab":"Qorin")"},
        Exchange{"SetVocabTooLong", "/profile", R"({"vocab":")" + std::string(70000, 'v') + "\"}",
                 "REFUSED", {}, 400, "too long"},
        Exchange{"SetStyle", "/style", R"({"style_preset":"custom","custom_prompt":"Terse."})",
                 "STYLE", {}, 200, R"("custom_prompt":"Terse.","style_preset":"custom")"},
        Exchange{"SetStyleWrongCase", "/style", R"({"style_preset":"Casual"})", "REFUSED", {}, 400,
                 R"(unknown \"style_preset\")"},
        Exchange{"Logs", "/logs", logs(2), "LOGS", {}, 200, R"({"stored":2})"},
        Exchange{"LogsTooMany", "/logs", logs(1001), "REFUSED", {}, 400, "too many entries"},
        Exchange{"LogsDeepNesting", "/logs", std::string(100000, '[') + std::string(100000, ']'),
                 "REFUSED", {}, 400, "JSON object"},
        Exchange{"BodyOverOneMegabyte", "/logs", std::string((1 << 20) + 1, ' '), "REFUSED", {},
                 413, "too large"},
        Exchange{"TranscriptsNewestFirst", "/transcripts?limit=2", {}, pagedDevice, {}, 200,
                 R"({"has_more":true,"transcripts":[{"created_at":"1970-01-01T00:00:00.003Z","id":3,)"
                 R"("raw":"raw 3","refined":"Refined."},{"created_at")"},
        Exchange{"TranscriptsAfter", "/transcripts?limit=1&after=2", {}, pagedDevice, {}, 200,
                 R"({"has_more":false,"transcripts":[{"created_at":"1970-01-01T00:00:00.001Z","id":1,)"
                 R"("raw":"raw 1","refined":"Refined."}]})"},
        Exchange{"TranscriptsAllOnOnePage", "/transcripts?limit=3", {}, pagedDevice, {}, 200,
                 R"("has_more":false)"},
        Exchange{"TranscriptsOfAnotherDevice", "/transcripts", {}, "NEW", {}, 200,
                 R"({"has_more":false,"transcripts":[]})"},
        Exchange{"TranscriptsLimitZero", "/transcripts?limit=0", {}, pagedDevice, {}, 400,
                 "whole number"},
        Exchange{"UpdateForAnOlderVersion", "/update/check?v=1.3.9", {}, {}, {}, 200,
                 R"({"download_url":"https://x.test/1.4.0.dmg","latest":"1.4.0",)"
                 R"("update_available":true})"},
        Exchange{"UpdateWithoutVersion", "/update/check", {}, {}, {}, 400,
                 "missing query parameter v"},
        upload("TextInsteadOfAudio",
               [](std::string body) {
                   return body.replace(body.find("RIFF"), 4, "TEXT");
               },
               "could not be decoded"),
        upload("NotMultipart", [](std::string body) { return body; }, "multipart", "audio/wav"),
        upload("OtherBoundaryThanTheBody", [](std::string body) { return body; },
               "malformed multipart", "multipart/form-data; boundary=OTHER"),
        upload("CutBeforeTheClosingDelimiter",
               [](std::string body) { return body.substr(0, body.size() - 10); },
               "malformed multipart"),
        Exchange{"WithoutDevice", "/process", buildUpload(silence(), false, {}).body, {},
                 buildUpload("", false, {}).contentType(), 400, "missing x-device-id"},
        Exchange{"DeviceWithSpace", "/process", buildUpload(silence(), false, {}).body,
                 "two words", buildUpload("", false, {}).contentType(), 400,
                 "invalid x-device-id"},
        form("NoAudioPart", {{R"(name="source")", "dictation"}}, "missing audio"),
        form("AudioTwice", {{audioPart, silence()}, {audioPart, silence()}}, "more than once"),
        form("VocabNotUtf8", {{audioPart, silence()}, {R"(name="vocab")", "caf\xE9"}}, "UTF-8"),
        form("SourceTooLong", {{audioPart, silence()}, {R"(name="source")", std::string(65, 's')}},
             "source")),
    [](const auto& info) { return info.param.name; });

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
    EXPECT_EQ(post("A", silence()), 200) << "a refused upload used none of the limit";
    EXPECT_EQ(post("A", silence()), 200);
    EXPECT_EQ(post("A", silence()), 429);
    EXPECT_EQ(post("B", silence()), 200) << "the limit is per device";
    EXPECT_EQ(service.storage().usesOn("A", utcDay(lateOnJune14)), 2);
    service.setNow(lateOnJune14 + 999);
    EXPECT_EQ(post("A", silence()), 429);
    service.setNow(lateOnJune14 + 1000);
    EXPECT_EQ(post("A", silence()), 200) << "a new UTC day starts afresh";
}

// How many words of `reference` the recognised text lacks, in order.
std::size_t missingWords(const std::string& reference, const std::string& recognised) {
    std::istringstream expected(reference);
    std::size_t missing = 0;
    std::size_t at = 0;
    for (std::string word; expected >> word;) {
        if (const auto found = recognised.find(word, at); found != std::string::npos) {
            at = found + word.size();
        } else {
            ++missing;
        }
    }
    return missing;
}

struct SpeechCase {
    const char* name;
    bool m4a;
    bool vocabInProfile; // else in the upload
};

class SpeechTest : public testing::TestWithParam<SpeechCase> {};

TEST_P(SpeechTest, IsRecognisedRefinedAndStored) {
    const SpeechCase& c = GetParam();
    const std::string sentence = "please send the quarterly report to the finance team before friday";
    const std::string wav = speakWav(sentence);
    // The WAV at 44.1 kHz stereo, which must be mixed down and resampled; the M4A as the program
    // compresses it.
    const std::string audio =
        c.m4a ? wavToM4a(wav) : convertWithFfmpeg(wav, {"-ar", "44100", "-ac", "2", "-f", "wav"});
    InProcessService service(sharedPool());
    auto http = service.client();
    const httplib::Headers device = {{"x-device-id", "SPEECH"}};
    if (c.vocabInProfile) {
        ASSERT_EQ(http->Post("/profile", device, R"({"vocab":"Fryday"})", "application/json")->status,
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
    EXPECT_LE(missingWords(sentence, raw), 2u) << "raw: " << raw;
    EXPECT_TRUE(refined.starts_with("Please ") && refined.ends_with(".")) << refined;
    EXPECT_NE(refined.find("Fryday"), std::string::npos) << "the vocabulary applies: " << refined;

    const auto stored = nlohmann::json::parse(http->Get("/transcripts", device)->body)["transcripts"];
    ASSERT_EQ(stored.size(), 1u) << stored;
    EXPECT_EQ(stored[0]["id"], body["id"]);
    EXPECT_EQ(stored[0]["raw"], raw);
    EXPECT_EQ(stored[0]["refined"], refined);
}

INSTANTIATE_TEST_SUITE_P(Formats, SpeechTest,
                         testing::Values(SpeechCase{"Wav44kStereoWithProfileVocab", false, true},
                                         SpeechCase{"ProgramsM4aWithUploadVocab", true, false}),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service::test
