// The keychain adapters against the real thing: GNOME Keyring's Secret Service on a private
// session bus, and private files.

#include "FakeHttp.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "platform/FileSecretStore.h"
#include "platform/secret/LibsecretStore.h"
#include "service/RefineClient.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;

const char* service = RefineClient::keychainService;
const char* account = RefineClient::keychainAccount;

// Stores an item the way an older synchronised keychain entry looks: with the extra flag.
void putLegacyItem(const std::string& value) {
    static const SecretSchema legacySchema = {"app.vantu.skrib.Secret",
                                              SECRET_SCHEMA_DONT_MATCH_NAME,
                                              {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                               {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                               {"synchronizable", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                              0,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              nullptr};
    GError* error = nullptr;
    ASSERT_TRUE(secret_password_store_sync(&legacySchema, SECRET_COLLECTION_DEFAULT, "legacy",
                                           value.c_str(), nullptr, &error, "service", service,
                                           "account", account, "synchronizable", "true", nullptr));
}

// Each test gets a store backed by the keyring, or by a file in a fresh folder.
class Store : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skrib-secret-XXXXXX";
        dir = ::mkdtemp(pattern);
        if (keyring()) {
            ASSERT_TRUE(LibsecretStore::available())
                << "run under tests/harness/with-keyring: no Secret Service answered";
            store = std::make_unique<LibsecretStore>();
        } else {
            store = std::make_unique<FileSecretStore>((dir / "VantuSkrib/secrets.json").string());
        }
        store->remove(service, account, false);
        store->remove(service, account, true);
    }
    void TearDown() override {
        store->remove(service, account, false);
        store->remove(service, account, true);
        fs::remove_all(dir);
    }
    bool keyring() const { return GetParam(); }
    void putLegacy(const std::string& value) {
        if (keyring()) {
            putLegacyItem(value);
        } else {
            // A file store has no synchronised items of its own; write one the same way.
            auto& file = static_cast<FileSecretStore&>(*store);
            FileSecretStore copy(file.path());
            ASSERT_EQ(copy.add("legacy-staging", account, value), 0);
            const std::string path = file.path();
            std::ifstream in(path);
            std::stringstream s;
            s << in.rdbuf();
            std::string text = s.str();
            const std::string from = "legacy-staging\\n" + std::string(account) + "\"";
            const std::string to = std::string(service) + "\\n" + account + "\\nsynchronizable\"";
            text.replace(text.find(from), from.size(), to);
            std::ofstream(path) << text;
        }
    }

    LogCapture log;
    fs::path dir;
    std::unique_ptr<SecretStore> store;
};

TEST_P(Store, LocalAndLegacyItemsAreKeptApart) {
    EXPECT_EQ(store->find(service, account, false), std::nullopt);
    putLegacy("LEGACY-VALUE");
    EXPECT_EQ(store->find(service, account, false), std::nullopt)
        << "a synchronised item is not the local one, though it has the same service and account";
    EXPECT_EQ(store->find(service, account, true), "LEGACY-VALUE");
    ASSERT_EQ(store->add(service, account, "LOCAL-VALUE"), 0);
    EXPECT_EQ(store->find(service, account, false), "LOCAL-VALUE");
    EXPECT_EQ(store->find(service, account, true), "LEGACY-VALUE");
    store->remove(service, account, false);
    EXPECT_EQ(store->find(service, account, false), std::nullopt);
    EXPECT_EQ(store->find(service, account, true), "LEGACY-VALUE") << "deleting the local item "
                                                                      "leaves the legacy one";
    ASSERT_EQ(store->add(service, account, "LOCAL-2"), 0);
    store->remove(service, account, true);
    EXPECT_EQ(store->find(service, account, true), std::nullopt);
    EXPECT_EQ(store->find(service, account, false), "LOCAL-2");
}

struct Start {
    std::string id;
    std::vector<std::string> keyLines;
};

// One start of the client's identity logic against this store.
Start startClient(SecretStore& store, Defaults& defaults, LogCapture& log) {
    log.clear();
    FakeHttpClient http;
    RefineClient client(
        {http, store, defaults, "http://127.0.0.1:1", "/nonexistent", "pc", "6.1.0"});
    return {client.deviceId(), log.matching("🔑")};
}

TEST_P(Store, FirstStartGeneratesAndTheNextReadsIt) {
    MemoryDefaults defaults;
    const auto first = startClient(*store, defaults, log);
    ASSERT_THAT(first.keyLines, ::testing::ElementsAre(
                                    "🔑 Generated new device ID: " + first.id.substr(0, 8) + "..."));
    const auto second = startClient(*store, defaults, log);
    EXPECT_EQ(second.id, first.id);
    EXPECT_THAT(second.keyLines, ::testing::ElementsAre("🔑 Device ID from keychain: " +
                                                        first.id.substr(0, 8) + "..."));
}

TEST_P(Store, LegacyItemMigratesOnceAndIsDeleted) {
    MemoryDefaults defaults;
    putLegacy("LEGACY-ID-0000");
    const auto first = startClient(*store, defaults, log);
    EXPECT_EQ(first.id, "LEGACY-ID-0000");
    EXPECT_THAT(first.keyLines,
                ::testing::ElementsAre("🔑 Migrated device ID from sync keychain: LEGACY-I..."));
    EXPECT_EQ(store->find(service, account, true), std::nullopt);
    EXPECT_EQ(store->find(service, account, false), "LEGACY-ID-0000");
    EXPECT_THAT(startClient(*store, defaults, log).keyLines,
                ::testing::ElementsAre("🔑 Device ID from keychain: LEGACY-I..."));
}

TEST_P(Store, BothItemsPresentTheLocalOneWinsAndTheLegacyOneStays) {
    MemoryDefaults defaults;
    putLegacy("LEGACY-ID-0000");
    ASSERT_EQ(store->add(service, account, "LOCAL-ID-1111"), 0);
    EXPECT_EQ(startClient(*store, defaults, log).id, "LOCAL-ID-1111");
    EXPECT_EQ(store->find(service, account, true), "LEGACY-ID-0000");
}

TEST_P(Store, SettingsValueMigratesIntoTheStore) {
    MemoryDefaults defaults;
    defaults.set("deviceId", "FROM-DEFAULTS-22");
    EXPECT_EQ(startClient(*store, defaults, log).id, "FROM-DEFAULTS-22");
    EXPECT_FALSE(defaults.value("deviceId").has_value());
    EXPECT_EQ(store->find(service, account, false), "FROM-DEFAULTS-22");
}

INSTANTIATE_TEST_SUITE_P(Backends, Store, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "keyring" : "file"; });

TEST(FileSecretStore, IsPrivateAndAFailingSaveKeepsTheMigrationSource) {
    LogCapture log;
    char pattern[] = "/tmp/skrib-secret-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    FileSecretStore store((dir / "VantuSkrib/secrets.json").string());
    ASSERT_EQ(store.add("s", "a", "v"), 0);
    struct stat st {};
    ASSERT_EQ(::stat(store.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A store whose folder cannot be written: the save fails and the source stays.
    FileSecretStore blocked((dir / "file-not-dir/secrets.json").string());
    std::ofstream(dir / "file-not-dir") << "x";
    MemoryDefaults defaults;
    defaults.set("deviceId", "KEEP-ME-33");
    const auto start = startClient(blocked, defaults, log);
    EXPECT_EQ(start.id, "KEEP-ME-33");
    EXPECT_EQ(log.matching("⚠️ Keychain save failed").size(), 1u);
    EXPECT_EQ(defaults.stringValue("deviceId"), "KEEP-ME-33");
    fs::remove_all(dir);
}

} // namespace
} // namespace skrib::testing
