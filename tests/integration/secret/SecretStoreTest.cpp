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

const std::string service = "app.vantu.skrib.test", account = "device-id";

fs::path temporaryFolder() {
    char pattern[] = "/tmp/skrib-secret-XXXXXX";
    return ::mkdtemp(pattern);
}

// An item as an older synchronised keychain entry looks: with the extra attribute.
void putLegacyInKeyring(const std::string& value) {
    static const SecretSchema schema = {"app.vantu.skrib.Secret",
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
    ASSERT_TRUE(secret_password_store_sync(
        &schema, SECRET_COLLECTION_DEFAULT, "legacy", value.c_str(), nullptr, nullptr, "service",
        service.c_str(), "account", account.c_str(), "synchronizable", "true", nullptr));
}

// The file store has no way to write a synchronised item: rename a local one in its file.
void putLegacyInFile(const std::string& path, const std::string& value) {
    ASSERT_EQ(FileSecretStore(path).add("staging", account, value), 0);
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    std::string json = text.str();
    const std::string from = "staging\\n" + account + "\"";
    ASSERT_NE(json.find(from), std::string::npos) << json;
    std::ofstream(path) << json.replace(json.find(from), from.size(),
                                        service + "\\n" + account + "\\nsynchronizable\"");
}

class Store : public ::testing::TestWithParam<bool> {
protected:
    std::unique_ptr<SecretStore> open() const {
        return GetParam() ? std::unique_ptr<SecretStore>(std::make_unique<LibsecretStore>())
                          : std::make_unique<FileSecretStore>(file_);
    }
    void SetUp() override {
        ASSERT_TRUE(!GetParam() || LibsecretStore::available()) << "no Secret Service answered";
    }
    void TearDown() override {
        open()->remove(service, account, false), open()->remove(service, account, true);
        fs::remove_all(dir_);
    }
    fs::path dir_ = temporaryFolder();
    std::string file_ = (dir_ / "VantuSkrib/secrets.json").string();
};

TEST_P(Store, StoresReadsAndDeletesLocalAndLegacyItemsApart) {
    const auto store = open();
    EXPECT_EQ(open()->find(service, account, false), std::nullopt);
    GetParam() ? putLegacyInKeyring("LEGACY") : putLegacyInFile(file_, "LEGACY");
    const auto add = [&](const std::string& value) { return store->add(service, account, value); };
    const auto drop = [&](bool legacy) { store->remove(service, account, legacy); };
    // Each row: an action, then what a freshly opened store finds (local, legacy).
    const struct {
        const char* action;
        std::function<void()> run;
        std::optional<std::string> local, legacy;
    } steps[] = {
        {"legacy only", [] {}, std::nullopt, "LEGACY"},
        {"add local", [&] { EXPECT_EQ(add("ä \"1\"\n"), 0); }, "ä \"1\"\n", "LEGACY"},
        {"remove local", [&] { drop(false); }, std::nullopt, "LEGACY"},
        {"add local again", [&] { add("three"); }, "three", "LEGACY"},
        {"remove legacy", [&] { drop(true); }, "three", std::nullopt},
        {"remove local twice", [&] { drop(false), drop(false); }, std::nullopt, std::nullopt},
    };
    for (const auto& step : steps) {
        step.run();
        EXPECT_EQ(open()->find(service, account, false), step.local) << step.action;
        EXPECT_EQ(open()->find(service, account, true), step.legacy) << step.action;
    }
    struct stat info {};
    EXPECT_TRUE(GetParam() || (::stat(file_.c_str(), &info) == 0 && (info.st_mode & 0777) == 0600))
        << "the file is for this user only";
}

INSTANTIATE_TEST_SUITE_P(Backends, Store, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "keyring" : "file"; });

TEST(FileSecretStore, AFolderThatCannotBeMadeFailsTheAdd) {
    const fs::path dir = temporaryFolder();
    std::ofstream(dir / "file-not-folder") << "x";
    FileSecretStore store((dir / "file-not-folder/secrets.json").string());
    EXPECT_NE(store.add(service, account, "v"), 0);
    EXPECT_EQ(store.find(service, account, false), std::nullopt);
    fs::remove_all(dir);
}

} // namespace
} // namespace skrib
