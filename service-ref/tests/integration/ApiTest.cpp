// The service's HTTP interface, served in-process with real recognition, decoding and storage.
#include "HttpHelpers.h"
#include "InProcessService.h"
#include "IsoTime.h"

#include <future>
#include <regex>

namespace skrib::service::test {
namespace {

// 2025-06-30T23:59:59.000Z: one second before a UTC day ends.
constexpr std::int64_t lateOnJune30 = 1751327999000;
constexpr std::int64_t hourMs = 3'600'000;

double errorRate(const std::string& reference, const std::string& hypothesis) {
    return static_cast<double>(wordErrors(reference, hypothesis)) /
           static_cast<double>(normalizedWords(reference).size());
}

bool hasUpperCase(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

class ApiTest : public testing::Test {
protected:
    explicit ApiTest(ServiceConfig config = {}, std::optional<ReleaseManifest> manifest = {})
        : service_(sharedPool(), std::move(config), std::move(manifest))
        , http_(service_.client()) {}

    httplib::Result upload(const std::string& audio, bool m4a = false,
                           const std::optional<std::string>& vocab = std::nullopt,
                           const std::string& device = {}) {
        return postUpload(*http_, device.empty() ? device_ : device,
                          buildUpload(audio, m4a, vocab));
    }

    httplib::Result postJson(const std::string& path, const Json& body,
                             const std::string& device = {}) {
        return http_->Post(path, {{"x-device-id", device.empty() ? device_ : device}}, body.dump(),
                           "application/json");
    }

    Json getJson(const std::string& path, const std::string& device = {}) {
        return jsonOf(http_->Get(path, {{"x-device-id", device.empty() ? device_ : device}}));
    }

    void expectHealthy() {
        const auto result = http_->Get("/health");
        ASSERT_TRUE(result) << "the service stopped answering";
        EXPECT_EQ(result->status, 200);
    }

    InProcessService service_;
    std::unique_ptr<httplib::Client> http_;
    std::string device_ = randomUuid();
};

// --- /process with exactly the body the program builds -------------------------------------

struct LayoutCase {
    const char* name;
    bool m4a;
    bool vocab;
};

class ProcessLayoutTest : public ApiTest, public testing::WithParamInterface<LayoutCase> {};

TEST_P(ProcessLayoutTest, TranscribesRefinesAndStores) {
    const auto& c = GetParam();
    const std::string& sentence = testSentences()[0]; // "... before friday"
    const std::string& audio = c.m4a ? sentenceM4a(0) : sentenceWav(0);
    const auto vocab = c.vocab ? std::optional<std::string>("Fryday, Zebulon") : std::nullopt;

    const auto result = upload(audio, c.m4a, vocab);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    const Json body = jsonOf(result);
    ASSERT_TRUE(body["raw"].is_string() && body["refined"].is_string()) << body;
    ASSERT_TRUE(body["total_ms"].is_number_integer()) << body;
    EXPECT_GE(body["total_ms"].get<std::int64_t>(), 0);
    const auto raw = body["raw"].get<std::string>();
    const auto refined = body["refined"].get<std::string>();

    EXPECT_LE(errorRate(sentence, raw), 0.25) << "raw: " << raw;
    EXPECT_EQ(refined.front(), 'P') << "professional style by default: " << refined;
    EXPECT_EQ(refined.back(), '.') << refined;
    if (c.vocab) {
        EXPECT_NE(refined.find("Fryday"), std::string::npos) << refined;
        EXPECT_EQ(refined.find("Zebulon"), std::string::npos) << "nothing sounds like it";
    } else {
        EXPECT_NE(refined.find("friday"), std::string::npos) << refined;
    }

    const Json history = getJson("/transcripts?limit=50");
    ASSERT_EQ(history["transcripts"].size(), 1u) << history;
    const Json& stored = history["transcripts"][0];
    EXPECT_EQ(stored["id"], body["id"]);
    EXPECT_EQ(stored["raw"], raw);
    EXPECT_EQ(stored["refined"], refined);
    EXPECT_EQ(stored["created_at"], formatIsoUtcMillis(service_.now()));
    EXPECT_EQ(history["has_more"], false);
}

INSTANTIATE_TEST_SUITE_P(Payloads, ProcessLayoutTest,
                         testing::Values(LayoutCase{"Wav", false, false},
                                         LayoutCase{"WavWithVocab", false, true},
                                         LayoutCase{"M4a", true, false},
                                         LayoutCase{"M4aWithVocab", true, true}),
                         [](const auto& info) { return info.param.name; });

// --- styles ----------------------------------------------------------------------------------

struct StyleCase {
    const char* preset;
    bool (*looksRight)(const std::string& raw, const std::string& refined);
};

class ProcessStyleTest : public ApiTest, public testing::WithParamInterface<StyleCase> {};

TEST_P(ProcessStyleTest, RefinesInTheDevicesStyle) {
    const auto style = postJson(
        "/style", {{"style_preset", GetParam().preset}, {"custom_prompt", "Write like a pirate."}});
    ASSERT_TRUE(style);
    ASSERT_EQ(style->status, 200) << style->body;

    const auto result = upload(sentenceWav(2)); // "i will call you back in ten minutes"
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    const Json body = jsonOf(result);
    const auto raw = body["raw"].get<std::string>();
    const auto refined = body["refined"].get<std::string>();
    ASSERT_FALSE(raw.empty());
    EXPECT_TRUE(GetParam().looksRight(raw, refined)) << "raw: " << raw << "\nrefined: " << refined;
}

INSTANTIATE_TEST_SUITE_P(
    Presets, ProcessStyleTest,
    testing::Values(StyleCase{"professional",
                              [](const std::string&, const std::string& refined) {
                                  return refined.starts_with("I ") && refined.ends_with(".");
                              }},
                    StyleCase{"casual",
                              [](const std::string&, const std::string& refined) {
                                  return !hasUpperCase(refined) && !refined.ends_with(".");
                              }},
                    StyleCase{"minimal", [](const std::string& raw,
                                            const std::string& refined) { return refined == raw; }},
                    StyleCase{"custom", [](const std::string& raw,
                                           const std::string& refined) { return refined == raw; }}),
    [](const auto& info) { return std::string(info.param.preset); });

TEST_F(ApiTest, StoredVocabularyAppliesWhenTheUploadHasNone) {
    ASSERT_EQ(postJson("/profile", {{"vocab", "Fryday"}})->status, 200);

    const Json withStored = jsonOf(upload(sentenceWav(0)));
    EXPECT_NE(withStored["refined"].get<std::string>().find("Fryday"), std::string::npos)
        << withStored;

    // The upload's own vocabulary replaces the stored one.
    const Json withOwn = jsonOf(upload(sentenceWav(0), false, "Quarterly Report"));
    const auto refined = withOwn["refined"].get<std::string>();
    EXPECT_NE(refined.find("Quarterly Report"), std::string::npos) << refined;
    EXPECT_EQ(refined.find("Fryday"), std::string::npos) << refined;
}

TEST_F(ApiTest, ConcurrentUploadsAreAllServed) {
    std::vector<std::string> devices;
    std::vector<std::future<httplib::Result>> results;
    for (int i = 0; i < 4; ++i) { // two workers and two waiting places
        devices.push_back(randomUuid());
        results.push_back(std::async(std::launch::async, [this, device = devices.back()] {
            auto client = service_.client();
            return postUpload(*client, device, buildUpload(sentenceWav(3), false, std::nullopt));
        }));
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        const auto result = results[i].get();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200) << result->body;
        const Json history = getJson("/transcripts?limit=5", devices[i]);
        ASSERT_EQ(history["transcripts"].size(), 1u) << "each device sees only its own transcript";
        EXPECT_LE(errorRate(testSentences()[3], history["transcripts"][0]["raw"]), 0.25);
    }
}

// --- /process refusals -----------------------------------------------------------------------

struct RawUpload {
    httplib::Headers headers;
    std::string body;
    std::string contentType;
};

RawUpload standard(const std::string& audio, const std::string& device = randomUuid()) {
    const Upload u = buildUpload(audio, false, std::nullopt);
    return {{{"x-device-id", device}}, u.body, u.contentType()};
}

std::string part(const std::string& boundary, const std::string& disposition,
                 const std::string& data) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" +
           data + "\r\n";
}

RawUpload handMade(const std::vector<std::string>& parts,
                   const std::string& device = randomUuid()) {
    const std::string boundary = "B0UNDARY";
    std::string body;
    for (const auto& p : parts) {
        body += p;
    }
    body += "--" + boundary + "--\r\n";
    return {{{"x-device-id", device}}, body, "multipart/form-data; boundary=" + boundary};
}

std::string adpcmWav() {
    TempDir dir;
    writeFile(dir.path() / "in.wav", sentenceWav(2));
    return convertWithFfmpeg((dir.path() / "in.wav").string(),
                             {"-c:a", "adpcm_ima_wav", "-f", "wav"});
}

struct RefusalCase {
    const char* name;
    RawUpload (*make)();
    int status;
    const char* errorFragment;
};

class ProcessRefusalTest : public ApiTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(ProcessRefusalTest, AnswersAClearErrorAndStoresNothing) {
    const RawUpload request = GetParam().make();
    const auto result =
        http_->Post("/process", request.headers, request.body, request.contentType.c_str());
    expectError(result, GetParam().status, GetParam().errorFragment);
    expectHealthy();
    const auto device = request.headers.find("x-device-id");
    if (device != request.headers.end() && device->second.size() <= 128) {
        EXPECT_TRUE(service_.storage().transcripts(device->second, 10, {}).transcripts.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Uploads, ProcessRefusalTest,
    testing::Values(
        RefusalCase{"NoAudioPart",
                    [] { return handMade({part("B0UNDARY", "name=\"source\"", "dictation")}); },
                    400, "missing audio"},
        RefusalCase{"EmptyAudioPart", [] { return standard(""); }, 400, "missing audio"},
        RefusalCase{"WavWithoutSamples", [] { return standard(makeWav(Pcm{})); }, 400,
                    "missing audio"},
        RefusalCase{"TextInsteadOfAudio", [] { return standard("this is not audio at all"); }, 400,
                    "could not be decoded"},
        RefusalCase{"UnsupportedCodecInWav", [] { return standard(adpcmWav()); }, 400,
                    "unsupported audio codec"},
        RefusalCase{"NoDeviceHeader",
                    [] {
                        RawUpload r = standard(sentenceWav(2));
                        r.headers.clear();
                        return r;
                    },
                    400, "missing x-device-id"},
        RefusalCase{"DeviceHeaderWithSpace", [] { return standard(sentenceWav(2), "two words"); },
                    400, "invalid x-device-id"},
        RefusalCase{"DeviceHeaderTooLong",
                    [] { return standard(sentenceWav(2), std::string(129, 'A')); }, 400,
                    "invalid x-device-id"},
        RefusalCase{"NotMultipart",
                    [] {
                        RawUpload r = standard(sentenceWav(2));
                        r.body = sentenceWav(2);
                        r.contentType = "audio/wav";
                        return r;
                    },
                    400, "multipart"},
        RefusalCase{"MultipartWithoutBoundary",
                    [] {
                        RawUpload r = standard(sentenceWav(2));
                        r.contentType = "multipart/form-data";
                        return r;
                    },
                    400, "malformed multipart"},
        RefusalCase{"OtherBoundaryThanTheBody",
                    [] {
                        RawUpload r = standard(sentenceWav(2));
                        r.contentType = "multipart/form-data; boundary=" + randomUuid();
                        return r;
                    },
                    400, "malformed multipart"},
        RefusalCase{"CutBeforeTheClosingDelimiter",
                    [] {
                        RawUpload r = standard(sentenceWav(2));
                        r.body.resize(r.body.size() - 44);
                        return r;
                    },
                    400, "malformed multipart"},
        RefusalCase{"CutInsideTheAudio",
                    [] {
                        RawUpload r = standard(sentenceWav(2));
                        r.body.resize(r.body.size() / 2);
                        return r;
                    },
                    400, "malformed multipart"},
        RefusalCase{"AudioTwice",
                    [] {
                        return handMade(
                            {part("B0UNDARY", "name=\"audio\"; filename=\"a.wav\"", sentenceWav(2)),
                             part("B0UNDARY", "name=\"audio\"; filename=\"b.wav\"",
                                  sentenceWav(2))});
                    },
                    400, "more than once"},
        RefusalCase{"VocabNotUtf8",
                    [] {
                        return handMade(
                            {part("B0UNDARY", "name=\"audio\"; filename=\"a.wav\"", sentenceWav(2)),
                             part("B0UNDARY", "name=\"vocab\"", "caf\xE9")});
                    },
                    400, "UTF-8"},
        RefusalCase{"SourceTooLong",
                    [] {
                        return handMade(
                            {part("B0UNDARY", "name=\"audio\"; filename=\"a.wav\"", sentenceWav(2)),
                             part("B0UNDARY", "name=\"source\"", std::string(65, 's'))});
                    },
                    400, "source"}),
    [](const auto& info) { return info.param.name; });

class SmallBodyLimitTest : public ApiTest {
protected:
    static ServiceConfig config() {
        ServiceConfig c;
        c.maxBodyBytes = 256 << 10;
        return c;
    }
    SmallBodyLimitTest()
        : ApiTest(config()) {}
};

TEST_F(SmallBodyLimitTest, RefusesALargerUploadWith413) {
    const std::string wav = makeWav(makeTone(440, 12, 16000, 1, 0.3)); // 384 KB
    expectError(upload(wav), 413, "too large");
    expectHealthy();
    const std::string small = makeWav(makeTone(440, 1, 16000, 1, 0.3));
    const auto result = upload(small);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200) << "a body within the limit still passes: " << result->body;
}

// --- daily limit -----------------------------------------------------------------------------

class DailyLimitTest : public ApiTest {
protected:
    static ServiceConfig config() {
        ServiceConfig c;
        c.dailyLimit = 2;
        return c;
    }
    DailyLimitTest()
        : ApiTest(config()) {}
};

TEST_F(DailyLimitTest, AnswersTooManyRequestsUntilTheNextUtcDay) {
    service_.setNow(lateOnJune30);
    const std::string& speech = sentenceWav(2);

    expectError(upload("not audio"), 400, "could not be decoded");
    EXPECT_EQ(upload(speech)->status, 200) << "a refused upload used none of the limit";
    EXPECT_EQ(upload(speech)->status, 200);
    expectError(upload(speech), 429, "daily limit");
    EXPECT_EQ(upload(speech, false, std::nullopt, randomUuid())->status, 200)
        << "the limit is per device";

    service_.setNow(lateOnJune30 + 999);
    expectError(upload(speech), 429, "daily limit");
    service_.setNow(lateOnJune30 + 1000); // 2025-07-01T00:00:00.000Z
    EXPECT_EQ(upload(speech)->status, 200) << "a new UTC day starts afresh";
}

// --- a full work queue -----------------------------------------------------------------------

class BusyTest : public ApiTest {
protected:
    static ServiceConfig config() {
        ServiceConfig c;
        c.dailyLimit = 1;
        return c;
    }
    BusyTest()
        : ApiTest(config()) {}
};

TEST_F(BusyTest, AnswersServiceUnavailableWhenTheQueueIsFull) {
    WorkPool& pool = sharedPool();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    const std::size_t capacity = pool.workers() + pool.queueCapacity();
    for (std::size_t i = 0; i < capacity; ++i) {
        ASSERT_TRUE(pool.trySubmit([released](SpeechRecognizer&) { released.wait(); }))
            << "the pool was not idle";
    }

    expectError(upload(sentenceWav(2)), 503, "busy");

    release.set_value();
    while (pool.running() + pool.queued() > 0) {
        std::this_thread::yield();
    }
    const auto result = upload(sentenceWav(2));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200)
        << "the refused upload used none of the daily limit: " << result->body;
}

// --- failed recognition ----------------------------------------------------------------------

class FailingRecognizer : public SpeechRecognizer {
public:
    std::optional<std::string> recognize(std::span<const std::int16_t>) override {
        return std::nullopt;
    }
};

TEST(RecognitionFailure, AnswersProcessingFailedAndGivesTheUseBack) {
    std::vector<std::unique_ptr<SpeechRecognizer>> recognizers;
    recognizers.push_back(std::make_unique<FailingRecognizer>());
    WorkPool pool(std::move(recognizers), 0);
    ServiceConfig config;
    config.dailyLimit = 1;
    InProcessService service(pool, config);
    auto http = service.client();
    const std::string device = randomUuid();

    const auto result = postUpload(*http, device, buildUpload(sentenceWav(2), false, std::nullopt));
    expectError(result, 500, "processing failed");
    EXPECT_EQ(jsonOf(result)["error"], "processing failed") << "the program matches it exactly";
    EXPECT_EQ(service.storage().usesOn(device, utcDay(service.now())), 0);
    EXPECT_TRUE(service.storage().transcripts(device, 10, {}).transcripts.empty());
}

// --- register --------------------------------------------------------------------------------

TEST_F(ApiTest, RegisterRecordsFirstAndLastSeen) {
    service_.setNow(lateOnJune30);
    const Json request = {
        {"device_id", device_}, {"device_name", "Ada's laptop"}, {"os_version", "12.5.0"}};
    const auto first = http_->Post("/register", request.dump(), "application/json");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200) << first->body;
    EXPECT_EQ(jsonOf(first)["first_seen"], "2025-06-30T23:59:59.000Z");

    service_.setNow(lateOnJune30 + hourMs);
    Json again = request;
    again["device_name"] = "Ada's desktop";
    const Json second = jsonOf(http_->Post("/register", again.dump(), "application/json"));
    EXPECT_EQ(second["device_id"], device_);
    EXPECT_EQ(second["first_seen"], "2025-06-30T23:59:59.000Z");
    EXPECT_EQ(second["last_seen"], "2025-07-01T00:59:59.000Z");
    const auto record = service_.storage().device(device_);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->name, "Ada's desktop");
    EXPECT_EQ(record->osVersion, "12.5.0");
}

TEST_F(ApiTest, RegisterWithOnlyAnIdIsEnough) {
    const auto result =
        http_->Post("/register", Json{{"device_id", device_}}.dump(), "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200) << result->body;
}

// --- JSON bodies -----------------------------------------------------------------------------

struct JsonRefusalCase {
    const char* name;
    const char* path;
    std::string body;
    int status;
    const char* errorFragment;
};

class JsonRefusalTest : public ApiTest, public testing::WithParamInterface<JsonRefusalCase> {};

TEST_P(JsonRefusalTest, AnswersAClearError) {
    const auto& c = GetParam();
    const auto result = http_->Post(c.path, {{"x-device-id", device_}}, c.body, "application/json");
    expectError(result, c.status, c.errorFragment);
    expectHealthy();
    const StoredProfile profile = service_.storage().profile(device_);
    EXPECT_FALSE(profile.vocab || profile.stylePreset) << "nothing was stored";
    EXPECT_TRUE(service_.storage().logs(device_).empty());
    EXPECT_FALSE(service_.storage().device(device_));
}

std::string manyLogEntries(int count) {
    Json entries = Json::array();
    for (int i = 0; i < count; ++i) {
        entries.push_back({{"message", "m"}});
    }
    return Json{{"entries", entries}}.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, JsonRefusalTest,
    testing::Values(
        JsonRefusalCase{"RegisterNotJson", "/register", "device_id=1", 400, "not valid JSON"},
        JsonRefusalCase{"RegisterArray", "/register", "[1,2]", 400, "JSON object"},
        JsonRefusalCase{"RegisterNoId", "/register", "{}", 400, "missing \"device_id\""},
        JsonRefusalCase{"RegisterIdNumber", "/register", R"({"device_id":5})", 400,
                        "\"device_id\" must be a string"},
        JsonRefusalCase{"RegisterIdHuge", "/register",
                        R"({"device_id":123456789012345678901234567890})", 400, "must be a string"},
        JsonRefusalCase{"RegisterIdWithSpace", "/register", R"({"device_id":"a b"})", 400,
                        "invalid \"device_id\""},
        JsonRefusalCase{"RegisterNameArray", "/register",
                        R"({"device_id":"x","device_name":["a"]})", 400,
                        "\"device_name\" must be a string"},
        JsonRefusalCase{"ProfileVocabNumber", "/profile", R"({"vocab":12})", 400,
                        "\"vocab\" must be a string"},
        JsonRefusalCase{"ProfileVocabNull", "/profile", R"({"vocab":null})", 400,
                        "missing \"vocab\""},
        JsonRefusalCase{"ProfileVocabTooLong", "/profile",
                        Json{{"vocab", std::string(70000, 'v')}}.dump(), 400, "too long"},
        JsonRefusalCase{"ProfileEmptyBody", "/profile", "", 400, "not valid JSON"},
        JsonRefusalCase{"StyleUnknown", "/style", R"({"style_preset":"fancy"})", 400,
                        "unknown \"style_preset\""},
        JsonRefusalCase{"StyleWrongCase", "/style", R"({"style_preset":"Casual"})", 400,
                        "unknown \"style_preset\""},
        JsonRefusalCase{"StylePromptNumber", "/style",
                        R"({"style_preset":"custom","custom_prompt":7})", 400,
                        "\"custom_prompt\" must be a string"},
        JsonRefusalCase{"StyleMissing", "/style", R"({"custom_prompt":"x"})", 400,
                        "missing \"style_preset\""},
        JsonRefusalCase{"StyleNumberOverflow", "/style", R"({"style_preset":1e99999})", 400,
                        "not valid JSON"},
        JsonRefusalCase{"LogsMissing", "/logs", "{}", 400, "missing \"entries\""},
        JsonRefusalCase{"LogsObject", "/logs", R"({"entries":{}})", 400, "must be an array"},
        JsonRefusalCase{"LogsEntryNumber", "/logs", R"({"entries":[{"message":"ok"},1]})", 400,
                        "entries[1] must be an object"},
        JsonRefusalCase{"LogsMessageNumber", "/logs", R"({"entries":[{"message":1}]})", 400,
                        "entries[0].\"message\" must be a string"},
        JsonRefusalCase{"LogsLevelObject", "/logs",
                        R"({"entries":[{"message":"m","level":{"a":1}}]})", 400,
                        "\"level\" must be a string"},
        JsonRefusalCase{"LogsTooMany", "/logs", manyLogEntries(1001), 400, "too many entries"},
        JsonRefusalCase{"LoneSurrogateEscape", "/logs", R"({"entries":[{"message":"\ud800"}]})",
                        400, "not valid JSON"},
        JsonRefusalCase{"DeepNesting", "/logs", std::string(100000, '[') + std::string(100000, ']'),
                        400, "JSON object"},
        JsonRefusalCase{"BinaryGarbage", "/register", std::string("\x00\xFF\xFE{\x01", 5), 400,
                        "not valid JSON"},
        JsonRefusalCase{"OverOneMegabyte", "/logs", std::string((1 << 20) + 1, ' '), 413,
                        "too large"}),
    [](const auto& info) { return info.param.name; });

struct HeaderlessCase {
    const char* method;
    const char* path;
};

class DeviceHeaderRequiredTest : public ApiTest,
                                 public testing::WithParamInterface<HeaderlessCase> {};

TEST_P(DeviceHeaderRequiredTest, RefusesWithoutTheHeader) {
    const auto& c = GetParam();
    const auto result = std::string(c.method) == "GET"
                            ? http_->Get(c.path)
                            : http_->Post(c.path, R"({"vocab":"a","style_preset":"casual",
                                                    "entries":[]})",
                                          "application/json");
    expectError(result, 400, "missing x-device-id");
}

INSTANTIATE_TEST_SUITE_P(Endpoints, DeviceHeaderRequiredTest,
                         testing::Values(HeaderlessCase{"GET", "/profile"},
                                         HeaderlessCase{"POST", "/profile"},
                                         HeaderlessCase{"POST", "/style"},
                                         HeaderlessCase{"GET", "/transcripts?limit=5"},
                                         HeaderlessCase{"POST", "/logs"}));

// --- profile and style -----------------------------------------------------------------------

TEST_F(ApiTest, ProfileStartsWithTheDefaults) {
    const Json profile = getJson("/profile");
    EXPECT_EQ(profile,
              (Json{{"vocab", ""}, {"style_preset", "professional"}, {"custom_prompt", ""}}));
}

TEST_F(ApiTest, ProfileKeepsVocabularyStyleAndPromptPerDevice) {
    const Json afterVocab = jsonOf(postJson("/profile", {{"vocab", "Qorin, Vantu Skrib"}}));
    EXPECT_EQ(afterVocab["vocab"], "Qorin, Vantu Skrib");

    jsonOf(postJson("/style", {{"style_preset", "custom"}, {"custom_prompt", "Short lines."}}));
    EXPECT_EQ(getJson("/profile"), (Json{{"vocab", "Qorin, Vantu Skrib"},
                                         {"style_preset", "custom"},
                                         {"custom_prompt", "Short lines."}}));

    // A fixed preset is sent without a prompt; the saved prompt stays for a return to custom.
    jsonOf(postJson("/style", {{"style_preset", "minimal"}}));
    const Json profile = getJson("/profile");
    EXPECT_EQ(profile["style_preset"], "minimal");
    EXPECT_EQ(profile["custom_prompt"], "Short lines.");

    const Json other = getJson("/profile", randomUuid());
    EXPECT_EQ(other["vocab"], "");
    EXPECT_EQ(other["style_preset"], "professional");
}

// --- transcripts -----------------------------------------------------------------------------

class TranscriptsTest : public ApiTest {
protected:
    // Five transcripts, an hour apart, and one of another device.
    void SetUp() override {
        for (int i = 1; i <= 5; ++i) {
            ids_.push_back(service_.storage().addTranscript(
                device_, "raw " + std::to_string(i), "Refined " + std::to_string(i) + ".",
                "dictation", lateOnJune30 + i * hourMs + i, 100));
        }
        service_.storage().addTranscript(randomUuid(), "other", "Other.", "dictation", 0, 1);
    }

    std::vector<std::int64_t> idsOf(const Json& page) {
        std::vector<std::int64_t> ids;
        for (const auto& t : page["transcripts"]) {
            ids.push_back(t["id"].get<std::int64_t>());
        }
        return ids;
    }

    std::vector<std::int64_t> ids_;
};

TEST_F(TranscriptsTest, PagesNewestFirst) {
    const Json first = getJson("/transcripts?limit=2");
    EXPECT_EQ(idsOf(first), (std::vector<std::int64_t>{ids_[4], ids_[3]}));
    EXPECT_EQ(first["has_more"], true);

    const Json second = getJson("/transcripts?limit=2&after=" + std::to_string(ids_[3]));
    EXPECT_EQ(idsOf(second), (std::vector<std::int64_t>{ids_[2], ids_[1]}));
    EXPECT_EQ(second["has_more"], true);

    const Json last = getJson("/transcripts?limit=2&after=" + std::to_string(ids_[1]));
    EXPECT_EQ(idsOf(last), (std::vector<std::int64_t>{ids_[0]}));
    EXPECT_EQ(last["has_more"], false);

    const Json exact = getJson("/transcripts?limit=5");
    EXPECT_EQ(exact["transcripts"].size(), 5u);
    EXPECT_EQ(exact["has_more"], false) << "nothing beyond the fifth";
}

TEST_F(TranscriptsTest, RecordsCarryTheFourMembers) {
    const Json page = getJson("/transcripts?limit=1");
    ASSERT_EQ(page["transcripts"].size(), 1u);
    const Json& t = page["transcripts"][0];
    EXPECT_EQ(t.size(), 4u) << t;
    EXPECT_TRUE(t["id"].is_number_integer());
    EXPECT_EQ(t["raw"], "raw 5");
    EXPECT_EQ(t["refined"], "Refined 5.");
    EXPECT_EQ(t["created_at"], "2025-07-01T04:59:59.005Z");
    EXPECT_TRUE(std::regex_match(t["created_at"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
}

TEST_F(TranscriptsTest, DefaultsToTwentyAndCapsAtOneHundred) {
    for (int i = 0; i < 150; ++i) {
        service_.storage().addTranscript(device_, "r", "R.", "dictation", lateOnJune30, 1);
    }
    EXPECT_EQ(getJson("/transcripts")["transcripts"].size(), 20u);
    const Json capped = getJson("/transcripts?limit=100000");
    EXPECT_EQ(capped["transcripts"].size(), 100u);
    EXPECT_EQ(capped["has_more"], true);
}

TEST_F(TranscriptsTest, AnotherDeviceSeesNone) {
    const Json page = getJson("/transcripts?limit=50", randomUuid());
    EXPECT_TRUE(page["transcripts"].empty());
    EXPECT_EQ(page["has_more"], false);
}

class TranscriptQueryTest : public ApiTest, public testing::WithParamInterface<const char*> {};

TEST_P(TranscriptQueryTest, RefusesABadNumber) {
    expectError(http_->Get(std::string("/transcripts?") + GetParam(), {{"x-device-id", device_}}),
                400, "whole number");
}

INSTANTIATE_TEST_SUITE_P(Queries, TranscriptQueryTest,
                         testing::Values("limit=0", "limit=-3", "limit=abc", "limit=1.5", "limit=",
                                         "limit=99999999999999999999", "limit=1e3", "limit=%2B5",
                                         "limit=5&after=0", "limit=5&after=x", "limit=5&after=-1",
                                         "limit=5&after=123456789012345678901"));

// --- update check ----------------------------------------------------------------------------

class UpdateCheckTest : public ApiTest {
protected:
    UpdateCheckTest()
        : ApiTest({}, ReleaseManifest{"1.4.0", "https://downloads.test/VantuSkrib-1.4.0.dmg"}) {}
};

struct UpdateCase {
    const char* version;
    bool update;
};

class UpdateCheckVersionTest : public UpdateCheckTest,
                               public testing::WithParamInterface<UpdateCase> {};

TEST_P(UpdateCheckVersionTest, AnswersTheThreeMembers) {
    const auto result = http_->Get(std::string("/update/check?v=") + GetParam().version);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200);
    const Json body = jsonOf(result);
    ASSERT_TRUE(body["update_available"].is_boolean()) << body;
    ASSERT_TRUE(body["latest"].is_string() && body["download_url"].is_string()) << body;
    EXPECT_EQ(body["update_available"], GetParam().update) << body;
    if (GetParam().update) {
        EXPECT_EQ(body["latest"], "1.4.0");
        EXPECT_EQ(body["download_url"], "https://downloads.test/VantuSkrib-1.4.0.dmg");
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, UpdateCheckVersionTest,
                         testing::Values(UpdateCase{"0.0.0", true}, UpdateCase{"1.3.9", true},
                                         UpdateCase{"1.4.0", false}, UpdateCase{"1.4", false},
                                         UpdateCase{"1.10.0", false}, UpdateCase{"warm", false},
                                         UpdateCase{"not-a-version", false},
                                         UpdateCase{"%FF%FE", false}));

TEST_F(UpdateCheckTest, RefusesAMissingVersion) {
    expectError(http_->Get("/update/check"), 400, "missing query parameter v");
    expectError(http_->Get("/update/check?v=" + std::string(65, '1')), 400, "too long");
}

TEST_F(ApiTest, WithoutAManifestThereIsNeverAnUpdate) {
    const Json body = jsonOf(http_->Get("/update/check?v=0.0.1"));
    EXPECT_EQ(body["update_available"], false);
}

// --- logs ------------------------------------------------------------------------------------

class LogsTest : public ApiTest {
protected:
    static ServiceConfig config() {
        ServiceConfig c;
        c.logsPerDevice = 10;
        return c;
    }
    LogsTest()
        : ApiTest(config()) {}

    static Json batch(int from, int to) {
        Json entries = Json::array();
        for (int i = from; i < to; ++i) {
            entries.push_back({{"message", "line " + std::to_string(i)},
                               {"level", i % 2 == 0 ? "info" : "error"},
                               {"source", "macos-app"},
                               {"ts", "2026-12-05T08:26:45Z"}});
        }
        return {{"entries", entries}};
    }
};

TEST_F(LogsTest, StoresBatchesAndKeepsTheNewestPerDevice) {
    const Json first = jsonOf(postJson("/logs", batch(0, 6)));
    EXPECT_EQ(first["stored"], 6);
    EXPECT_EQ(service_.storage().logs(device_).size(), 6u);

    EXPECT_EQ(jsonOf(postJson("/logs", batch(6, 25)))["stored"], 19);
    const auto kept = service_.storage().logs(device_);
    ASSERT_EQ(kept.size(), 10u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(kept[i].message, "line " + std::to_string(15 + i));
    }
    EXPECT_EQ(kept[0].level, "error");
    EXPECT_EQ(kept[0].source, "macos-app");
    EXPECT_EQ(kept[0].ts, "2026-12-05T08:26:45Z");

    postJson("/logs", batch(100, 103), "other-device");
    EXPECT_EQ(service_.storage().logs(device_).size(), 10u)
        << "another device's batch trims nothing";
    EXPECT_EQ(service_.storage().logs("other-device").size(), 3u);
}

TEST_F(LogsTest, AcceptsAnEmptyBatch) {
    EXPECT_EQ(jsonOf(postJson("/logs", {{"entries", Json::array()}}))["stored"], 0);
}

// --- access log ------------------------------------------------------------------------------

TEST_F(ApiTest, WritesOneAccessLogLinePerRequest) {
    // One connection, so one server thread logs each request before it reads the next.
    http_->set_keep_alive(true);
    http_->Get("/health");
    http_->Get("/nowhere");
    http_->Get("/profile", {{"x-device-id", "ABCDEFGH-1234"}});
    http_->Post("/style", {{"x-device-id", "ABCDEFGH-1234"}}, "{", "application/json");
    // A line is written once its response has gone out, so the last one may trail a little.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (service_.accessLog().size() < 4 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto lines = service_.accessLog();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("\"GET /health\" 200"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"GET /nowhere\" 404"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("\"GET /profile\" 200"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("device=ABCDEFGH"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[2].find("1234"), std::string::npos) << "only the id's start is logged";
    EXPECT_NE(lines[3].find("\"POST /style\" 400"), std::string::npos) << lines[3];
    for (const auto& line : lines) {
        EXPECT_TRUE(line.starts_with(formatIsoUtcMillis(service_.now()) + " 127.0.0.1 ")) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
}

TEST_F(ApiTest, UnknownPathsAnswerJson404) {
    expectError(http_->Get("/process"), 404, "not found");
}

} // namespace
} // namespace skrib::service::test
