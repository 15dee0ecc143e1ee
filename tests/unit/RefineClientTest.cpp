#include "service/RefineClient.h"

#include "FakeHttp.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string header(const HttpRequest& r, const std::string& name) {
    for (const auto& h : r.headers) {
        if (h.name == name) {
            return h.value;
        }
    }
    return "<absent>";
}

class Client : public ::testing::Test {
protected:
    Client() {
        char pattern[] = "/tmp/skrib-client-XXXXXX";
        home = ::mkdtemp(pattern);
    }
    ~Client() override { fs::remove_all(home); }

    RefineClient& make(std::string computerName = "Workstation") {
        client = std::make_unique<RefineClient>(
            RefineClient::Environment{http, secrets, defaults, "http://127.0.0.1:8787/",
                                      home.string(), std::move(computerName), "6.1.0"});
        return *client;
    }
    // The requests sent so far whose URL ends with `path`.
    std::vector<std::size_t> requestsTo(const std::string& path) const {
        std::vector<std::size_t> out;
        const auto sent = http.sent();
        for (std::size_t i = 0; i < sent.size(); ++i) {
            if (sent[i].request.url == "http://127.0.0.1:8787" + path) {
                out.push_back(i);
            }
        }
        return out;
    }
    void writeVocabFile(const std::string& content) {
        std::ofstream(home / ".vantu-skrib-backend.json") << content;
    }
    std::string vocabFile() const {
        std::ifstream in(home / ".vantu-skrib-backend.json");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    LogCapture log;
    fs::path home;
    FakeHttpClient http;
    MemorySecretStore secrets;
    MemoryDefaults defaults;
    std::unique_ptr<RefineClient> client;
};

// MARK: - Device identity

struct IdentityCase {
    const char* name;
    std::optional<std::string> current, legacy, fromDefaults;
    int addStatus;
    // expectations
    std::string expectedLinePrefix;        // the 🔑 line up to the identifier
    std::optional<std::string> expectedId; // none: a fresh UUID
    std::optional<std::string> currentAfter, legacyAfter, defaultsAfter;
};

class DeviceIdentity : public Client, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(DeviceIdentity, TakesTheFirstSourceAndMigratesSafely) {
    const auto& c = GetParam();
    if (c.current) {
        secrets.add(RefineClient::keychainService, RefineClient::keychainAccount, *c.current);
    }
    if (c.legacy) {
        secrets.putLegacy(RefineClient::keychainService, RefineClient::keychainAccount, *c.legacy);
    }
    if (c.fromDefaults) {
        defaults.set("deviceId", DefaultsValue(*c.fromDefaults));
    }
    secrets.addStatus = c.addStatus;
    const std::string id = make().deviceId();

    if (c.expectedId) {
        EXPECT_EQ(id, *c.expectedId);
    } else {
        EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
            << id;
    }
    EXPECT_EQ(client->currentDeviceId(), id);
    const auto keyLines = log.matching("🔑");
    ASSERT_EQ(keyLines.size(), 1u);
    EXPECT_EQ(keyLines[0], c.expectedLinePrefix + id.substr(0, 8) + "...");
    EXPECT_EQ(secrets.find(RefineClient::keychainService, RefineClient::keychainAccount, false),
              c.currentAfter ? c.currentAfter
                             : (c.addStatus == 0 ? std::optional(id) : std::nullopt));
    EXPECT_EQ(secrets.find(RefineClient::keychainService, RefineClient::keychainAccount, true),
              c.legacyAfter);
    EXPECT_EQ(defaults.stringValue("deviceId"), c.defaultsAfter);
    EXPECT_EQ(log.matching("⚠️ Keychain save failed").size(), c.addStatus == 0 ? 0u : 1u);
}

const std::string A = "AAAAAAAA-1111-4111-8111-111111111111";
const std::string B = "BBBBBBBB-2222-4222-8222-222222222222";
const std::string C = "CCCCCCCC-3333-4333-8333-333333333333";

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceIdentity,
    ::testing::Values(
        IdentityCase{"cleanMachine", {}, {}, {}, 0, "🔑 Generated new device ID: ", {}, {}, {}, {}},
        IdentityCase{"current", A, {}, {}, 0, "🔑 Device ID from keychain: ", A, A, {}, {}},
        IdentityCase{"currentWinsOverLegacy", A, B, C, 0, "🔑 Device ID from keychain: ", A, A, B,
                     C},
        IdentityCase{
            "legacyOnly", {}, B, {}, 0, "🔑 Migrated device ID from sync keychain: ", B, B, {}, {}},
        IdentityCase{"legacyBeforeDefaults",
                     {},
                     B,
                     C,
                     0,
                     "🔑 Migrated device ID from sync keychain: ",
                     B,
                     B,
                     {},
                     C},
        IdentityCase{
            "defaultsOnly", {}, {}, C, 0, "🔑 Migrated device ID from UserDefaults: ", C, C, {}, {}},
        IdentityCase{"emptyCurrentIsNoValue",
                     std::string(),
                     {},
                     C,
                     0,
                     "🔑 Migrated device ID from UserDefaults: ",
                     C,
                     C,
                     {},
                     {}},
        // A failed save keeps the source, so the next start can migrate it again.
        IdentityCase{"legacySaveFails",
                     {},
                     B,
                     {},
                     -25308,
                     "🔑 Migrated device ID from sync keychain: ",
                     B,
                     std::nullopt,
                     B,
                     {}},
        IdentityCase{"defaultsSaveFails",
                     {},
                     {},
                     C,
                     -25308,
                     "🔑 Migrated device ID from UserDefaults: ",
                     C,
                     std::nullopt,
                     {},
                     C}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Client, NextStartReadsTheIdentifierTheFirstStartMade) {
    const std::string first = make().deviceId();
    client.reset();
    log.clear();
    EXPECT_EQ(make().deviceId(), first);
    EXPECT_TRUE(log.contains("🔑 Device ID from keychain: " + first.substr(0, 8) + "..."));
}

// MARK: - Registration and warm-up

TEST_F(Client, RegistersOnTheSharedSessionWithNameAndVersion) {
    make();
    const auto reg = requestsTo("/register");
    ASSERT_EQ(reg.size(), 1u);
    const auto sent = http.sent()[reg[0]];
    EXPECT_EQ(sent.session, 0);
    EXPECT_EQ(sent.request.method, "POST");
    EXPECT_EQ(header(sent.request, "Content-Type"), "application/json");
    EXPECT_EQ(header(sent.request, "x-device-id"), "<absent>");
    EXPECT_EQ(json::parse(sent.request.body), (json{{"device_id", client->deviceId()},
                                                    {"device_name", "Workstation"},
                                                    {"os_version", "6.1.0"}}));
    EXPECT_EQ(sent.request.body.find('\n'), std::string::npos) << "compact JSON";
    http.respond(reg[0], 500, "oops");
    EXPECT_TRUE(log.contains("✅ Device registered: " + client->deviceId().substr(0, 8) + "..."))
        << "any HTTP answer counts as registered";
}

TEST_F(Client, RegistrationFailureIsLoggedAndAMissingNameIsUnknown) {
    make("");
    const auto reg = requestsTo("/register");
    EXPECT_EQ(json::parse(http.sent()[reg[0]].request.body)["device_name"], "unknown");
    http.fail(reg[0], urlError::cannotConnectToHost, "Could not connect to server");
    EXPECT_TRUE(log.contains("⚠️ Device registration failed: Could not connect to server"));
}

TEST_F(Client, WarmUpUsesTheProcessSessionWhoseTimingsAreKept) {
    make();
    client->warmConnection();
    client->warmConnection();
    const auto warm = requestsTo("/update/check?v=warm");
    ASSERT_EQ(warm.size(), 2u);
    const auto sent = http.sent();
    EXPECT_EQ(sent[warm[0]].request.method, "GET");
    EXPECT_EQ(sent[warm[0]].request.timeoutSeconds, 5);
    EXPECT_EQ(sent[warm[0]].session, 1);
    EXPECT_EQ(sent[warm[1]].session, 1) << "one process session for the client's life";
    ASSERT_EQ(http.configurations().size(), 1u);
    EXPECT_EQ(http.configurations()[0].maxConnectionsPerHost, 4);
    http.respond(warm[0], 200, "{}", NetworkTiming{.totalMs = 42});
    const auto timing = client->metricsDelegate().take(sent[warm[0]].taskId);
    ASSERT_TRUE(timing.has_value());
    EXPECT_EQ(timing->totalMs, 42);
}

// MARK: - Profile seeding

struct SeedCase {
    const char* name;
    std::optional<std::string> vocabFile;
    std::optional<std::string> localPreset;
    std::string profileBody;
    std::optional<std::string> vocabAfter;
    std::optional<std::string> presetAfter, promptAfter;
    std::vector<std::string> cloudLines;
};

class ProfileSeeding : public Client, public ::testing::WithParamInterface<SeedCase> {};

TEST_P(ProfileSeeding, FillsOnlyEmptyLocalValues) {
    const auto& c = GetParam();
    if (c.vocabFile) {
        writeVocabFile(*c.vocabFile);
    }
    if (c.localPreset) {
        defaults.set("stylePreset", DefaultsValue(*c.localPreset));
    }
    make();
    const auto profile = requestsTo("/profile");
    ASSERT_EQ(profile.size(), 1u);
    EXPECT_EQ(http.sent()[profile[0]].request.method, "GET");
    EXPECT_EQ(header(http.sent()[profile[0]].request, "x-device-id"), client->deviceId());
    http.respond(profile[0], 200, c.profileBody);
    EXPECT_EQ(client->loadVocab(), c.vocabAfter) << c.name;
    EXPECT_EQ(defaults.stringValue("stylePreset"), c.presetAfter) << c.name;
    EXPECT_EQ(defaults.stringValue("customPrompt"), c.promptAfter) << c.name;
    EXPECT_EQ(log.matching("☁️"), c.cloudLines) << c.name;
}

const std::string longVocab =
    "Kubernetes, PostgreSQL, Qorin, Vantu, Skrib, PipeWire, libswresample, GoogleTest";

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileSeeding,
    ::testing::Values(
        SeedCase{
            "emptyLocal",
            {},
            {},
            json{{"vocab", longVocab}, {"style_preset", "custom"}, {"custom_prompt", "Arr"}}.dump(),
            longVocab,
            "custom",
            "Arr",
            {"☁️ Loaded vocab from server: " + longVocab.substr(0, 50),
             "☁️ Loaded style from server: custom"}},
        SeedCase{"localWins",
                 R"({"vocab":"mine","other":1})",
                 "casual",
                 R"({"vocab":"theirs","style_preset":"professional","custom_prompt":"x"})",
                 "mine",
                 "casual",
                 {},
                 {}},
        SeedCase{"emptyLocalVocabMemberIsEmpty",
                 R"({"vocab":"","keep":true})",
                 "",
                 R"({"vocab":"theirs","style_preset":"minimal"})",
                 "theirs",
                 "minimal",
                 "",
                 {"☁️ Loaded vocab from server: theirs",
                  "☁️ Loaded style from server: minimal"}},
        SeedCase{"wrongTypes", {}, {}, R"({"vocab":7,"style_preset":["a"]})", {}, {}, {}, {}},
        SeedCase{"notAnObject", {}, {}, R"(["vocab","x"])", {}, {}, {}, {}},
        SeedCase{"notJson", {}, {}, "<html>", {}, {}, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Client, SeedingKeepsTheFilesOtherMembersAndAVocabLogShowsFiftyCharacters) {
    writeVocabFile(R"({"other":{"a":[1,2]},"vocab":""})");
    make();
    const std::string emojiVocab = std::string(49, 'x') + "🎙🎙";
    http.respond(requestsTo("/profile")[0], 200, json{{"vocab", emojiVocab}}.dump());
    EXPECT_EQ(json::parse(vocabFile()), (json{{"other", {{"a", {1, 2}}}}, {"vocab", emojiVocab}}));
    EXPECT_TRUE(log.contains("☁️ Loaded vocab from server: " + std::string(49, 'x') + "🎙"));
}

// MARK: - Vocabulary file

TEST_F(Client, SaveVocabKeepsOtherMembersAndReplacesACorruptFile) {
    make();
    writeVocabFile(R"({"server":"x","vocab":"old"})");
    client->saveVocabLocally("alpha, beta");
    EXPECT_EQ(json::parse(vocabFile()), (json{{"server", "x"}, {"vocab", "alpha, beta"}}));
    EXPECT_EQ(vocabFile().find('\n'), std::string::npos);
    writeVocabFile("not json at all");
    EXPECT_EQ(client->loadVocab(), std::nullopt);
    client->saveVocabLocally("gamma");
    EXPECT_EQ(json::parse(vocabFile()), (json{{"vocab", "gamma"}}));
    writeVocabFile(R"({"vocab":["not","a","string"]})");
    EXPECT_EQ(client->loadVocab(), std::nullopt);
}

// MARK: - Sync calls

struct StyleCase {
    std::string preset, prompt;
    json body;
};

class StyleSync : public Client, public ::testing::WithParamInterface<StyleCase> {};

TEST_P(StyleSync, SendsThePromptOnlyForCustom) {
    make();
    client->syncStyle(GetParam().preset, GetParam().prompt);
    const auto style = requestsTo("/style");
    ASSERT_EQ(style.size(), 1u);
    const auto sent = http.sent()[style[0]];
    EXPECT_EQ(sent.request.method, "POST");
    EXPECT_EQ(header(sent.request, "Content-Type"), "application/json");
    EXPECT_EQ(header(sent.request, "x-device-id"), client->deviceId());
    EXPECT_EQ(json::parse(sent.request.body), GetParam().body);
    http.respond(style[0], 404, "");
    EXPECT_TRUE(log.contains("☁️ Style synced: " + GetParam().preset));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StyleSync,
    ::testing::Values(
        StyleCase{"minimal", "Talk like a pirate", json{{"style_preset", "minimal"}}},
        StyleCase{"custom", "Talk like a pirate",
                  json{{"style_preset", "custom"}, {"custom_prompt", "Talk like a pirate"}}},
        StyleCase{"custom", "", json{{"style_preset", "custom"}, {"custom_prompt", ""}}}));

TEST_F(Client, SyncFailuresAreLoggedWithTheirDescription) {
    make();
    client->syncVocab("alpha, beta");
    client->syncStyle("casual", "");
    const auto vocab = requestsTo("/profile");
    ASSERT_EQ(vocab.size(), 2u); // the start-up GET and this POST
    EXPECT_EQ(json::parse(http.sent()[vocab[1]].request.body), (json{{"vocab", "alpha, beta"}}));
    http.fail(vocab[1], urlError::timedOut, "The request timed out.");
    http.fail(requestsTo("/style")[0], urlError::notConnectedToInternet, "No network.");
    EXPECT_TRUE(log.contains("⚠️ Vocab sync failed: The request timed out."));
    EXPECT_TRUE(log.contains("⚠️ Style sync failed: No network."));
    client->syncVocab("gamma");
    http.respond(requestsTo("/profile")[2], 200, "");
    EXPECT_TRUE(log.contains("☁️ Vocab synced to server"));
}

// MARK: - History

TEST_F(Client, TranscriptsPathCarriesLimitAndAfter) {
    make();
    client->fetchTranscripts(120, 50, [](auto, bool) {});
    client->fetchTranscripts(std::nullopt, 20, [](auto, bool) {});
    EXPECT_EQ(requestsTo("/transcripts?limit=50&after=120").size(), 1u);
    EXPECT_EQ(requestsTo("/transcripts?limit=20").size(), 1u);
}

struct HistoryCase {
    const char* name;
    std::string body;
    std::vector<Transcript> expected;
    bool hasMore;
};

class History : public Client, public ::testing::WithParamInterface<HistoryCase> {};

TEST_P(History, KeepsWellFormedEntriesInOrder) {
    make();
    std::optional<std::pair<std::vector<Transcript>, bool>> got;
    client->fetchTranscripts(std::nullopt, 50,
                             [&](std::vector<Transcript> t, bool more) { got.emplace(t, more); });
    http.respond(requestsTo("/transcripts?limit=50")[0], 200, GetParam().body);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->first, GetParam().expected) << GetParam().name;
    EXPECT_EQ(got->second, GetParam().hasMore) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, History,
    ::testing::Values(
        HistoryCase{"mixed",
                    R"({"transcripts":[
                        {"id":9,"raw":"a","refined":"A.","created_at":"2026-12-05T08:26:45.123Z"},
                        {"id":"8","raw":"b","refined":"B.","created_at":"x"},
                        {"id":7,"raw":"c","refined":null,"created_at":"x"},
                        42,
                        {"id":6,"raw":"d","refined":"D.","created_at":"y","extra":true}],
                        "has_more":true})",
                    {{9, "a", "A.", "2026-12-05T08:26:45.123Z"}, {6, "d", "D.", "y"}},
                    true},
        HistoryCase{"noHasMore", R"({"transcripts":[]})", {}, false},
        HistoryCase{"hasMoreNotBool", R"({"transcripts":[],"has_more":"yes"})", {}, false},
        HistoryCase{
            "hugeId",
            R"({"transcripts":[{"id":18446744073709551615,"raw":"a","refined":"b","created_at":"c"}]})",
            {},
            false},
        HistoryCase{"notAnArray", R"({"transcripts":{"id":1},"has_more":true})", {}, false},
        HistoryCase{"garbage", "\x01\x02", {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Client, HistoryTransportErrorGivesAnEmptyList) {
    make();
    bool called = false;
    client->fetchTranscripts(std::nullopt, 50, [&](std::vector<Transcript> t, bool more) {
        called = true;
        EXPECT_THAT(t, IsEmpty());
        EXPECT_FALSE(more);
    });
    http.fail(requestsTo("/transcripts?limit=50")[0], urlError::timedOut, "timed out");
    EXPECT_TRUE(called);
}

TEST(Url, OnlyAbsoluteHttpUrlsWithAHostAreValid) {
    EXPECT_TRUE(isValidHttpURL("http://127.0.0.1:8787/process"));
    EXPECT_TRUE(isValidHttpURL("https://service.example/logs"));
    EXPECT_FALSE(isValidHttpURL("ftp://x/y"));
    EXPECT_FALSE(isValidHttpURL("http:///path"));
    EXPECT_FALSE(isValidHttpURL("http://:80/path"));
    EXPECT_FALSE(isValidHttpURL("http://host name/"));
    EXPECT_FALSE(isValidHttpURL("/process"));
}

} // namespace
} // namespace skrib::testing
