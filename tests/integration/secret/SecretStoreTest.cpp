// The secret stores against the real thing: GNOME Keyring's Secret Service on a private session
// bus (tests/harness/with-keyring), and a private file.

#include "platform/posix/FileSecretStore.h"
#include "platform/secret/LibsecretStore.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace skrib {
namespace {

namespace fs = std::filesystem;

const std::string service = "app.vantu.skrib.test";
const std::string account = "device-id";

// An item as an older synchronised keychain entry looks: with the extra attribute.
void putLegacyInKeyring(const std::string& value) {
    static const SecretSchema schema = {"app.vantu.skrib.Secret",
                                        SECRET_SCHEMA_DONT_MATCH_NAME,
                                        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"synchronizable", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr};
    ASSERT_TRUE(secret_password_store_sync(&schema, SECRET_COLLECTION_DEFAULT, "legacy",
                                           value.c_str(), nullptr, nullptr, "service",
                                           service.c_str(), "account", account.c_str(),
                                           "synchronizable", "true", nullptr));
}

// The file store has no way to write a synchronised item: rename a local one in its file.
void putLegacyInFile(FileSecretStore& store, const std::string& value) {
    ASSERT_EQ(FileSecretStore(store.path()).add("staging", account, value), 0);
    std::stringstream text;
    text << std::ifstream(store.path()).rdbuf();
    std::string json = text.str();
    const std::string from = "staging\\n" + account + "\"";
    ASSERT_NE(json.find(from), std::string::npos) << json;
    json.replace(json.find(from), from.size(), service + "\\n" + account + "\\nsynchronizable\"");
    std::ofstream(store.path()) << json;
}

class Store : public ::testing::TestWithParam<bool> {
protected:
    bool keyring() const { return GetParam(); }
    std::unique_ptr<SecretStore> open() const {
        if (keyring()) {
            return std::make_unique<LibsecretStore>();
        }
        return std::make_unique<FileSecretStore>((dir_ / "VantuSkrib/secrets.json").string());
    }
    void SetUp() override {
        ASSERT_TRUE(!keyring() || LibsecretStore::available()) << "no Secret Service answered";
    }
    void TearDown() override {
        open()->remove(service, account, false);
        open()->remove(service, account, true);
        fs::remove_all(dir_);
    }

    fs::path dir_ = [] {
        char pattern[] = "/tmp/skrib-secret-XXXXXX";
        return fs::path(::mkdtemp(pattern));
    }();
};

TEST_P(Store, StoresReadsAndDeletesLocalAndLegacyItemsApart) {
    const auto store = open();
    const auto find = [&](bool legacy) { return open()->find(service, account, legacy); };
    EXPECT_EQ(find(false), std::nullopt);
    if (keyring()) {
        putLegacyInKeyring("LEGACY");
    } else {
        putLegacyInFile(static_cast<FileSecretStore&>(*store), "LEGACY");
    }
    // Each row: an action, then what a freshly opened store finds (local, legacy).
    const struct {
        const char* action;
        std::function<void()> run;
        std::optional<std::string> local, legacy;
    } steps[] = {
        {"legacy only", [] {}, std::nullopt, "LEGACY"},
        {"add local", [&] { EXPECT_EQ(store->add(service, account, "ä \"1\"\n"), 0); },
         "ä \"1\"\n", "LEGACY"},
        {"remove local", [&] { store->remove(service, account, false); }, std::nullopt, "LEGACY"},
        {"add local again", [&] { store->add(service, account, "three"); }, "three", "LEGACY"},
        {"remove legacy", [&] { store->remove(service, account, true); }, "three", std::nullopt},
        {"remove local twice",
         [&] {
             store->remove(service, account, false);
             store->remove(service, account, false);
         },
         std::nullopt, std::nullopt},
    };
    for (const auto& step : steps) {
        step.run();
        EXPECT_EQ(find(false), step.local) << step.action;
        EXPECT_EQ(find(true), step.legacy) << step.action;
    }
    if (!keyring()) {
        struct stat info {};
        ASSERT_EQ(::stat(static_cast<FileSecretStore&>(*store).path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << "the file is for this user only";
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, Store, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "keyring" : "file"; });

TEST(FileSecretStore, AFolderThatCannotBeMadeFailsTheAdd) {
    char pattern[] = "/tmp/skrib-secret-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    std::ofstream(dir / "file-not-folder") << "x";
    FileSecretStore store((dir / "file-not-folder/secrets.json").string());
    EXPECT_NE(store.add(service, account, "v"), 0);
    EXPECT_EQ(store.find(service, account, false), std::nullopt);
    fs::remove_all(dir);
}

} // namespace
} // namespace skrib
