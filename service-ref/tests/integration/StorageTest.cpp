// The SQLite store on a real file.
#include "Storage.h"

#include "TestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace skrib::service::test {
namespace {

std::unique_ptr<Storage> openStorage(const std::filesystem::path& dir) {
    std::string error;
    auto storage = Storage::open(dir, error);
    EXPECT_TRUE(storage) << error;
    return storage;
}

TEST(Storage, KeepsEverythingAcrossReopening) {
    TempDir dir;
    std::int64_t transcriptId = 0;
    {
        auto storage = openStorage(dir.path() / "nested" / "data");
        storage->registerDevice("dev", "Laptop", "12.0.0", 1000);
        storage->setVocab("dev", "Qorin");
        storage->setStyle("dev", "custom", std::string("Be brief."));
        ASSERT_TRUE(storage->reserveUse("dev", "2025-01-01", 5));
        transcriptId = storage->addTranscript("dev", "raw", "Refined.", "dictation", 2000, 5);
        storage->addLogs("dev", {{"hello", "info", "macos-app", "2025-01-01T00:00:00Z"}}, 3000, 10);
    }
    auto storage = openStorage(dir.path() / "nested" / "data");
    const auto device = storage->device("dev");
    ASSERT_TRUE(device);
    EXPECT_EQ(device->name, "Laptop");
    EXPECT_EQ(device->firstSeenMs, 1000);
    const StoredProfile profile = storage->profile("dev");
    EXPECT_EQ(profile.vocab, "Qorin");
    EXPECT_EQ(profile.stylePreset, "custom");
    EXPECT_EQ(profile.customPrompt, "Be brief.");
    EXPECT_EQ(storage->usesOn("dev", "2025-01-01"), 1);
    const auto page = storage->transcripts("dev", 10, {});
    ASSERT_EQ(page.transcripts.size(), 1u);
    EXPECT_EQ(page.transcripts[0].id, transcriptId);
    EXPECT_EQ(page.transcripts[0].createdAtMs, 2000);
    ASSERT_EQ(storage->logs("dev").size(), 1u);
    EXPECT_EQ(storage->logs("dev")[0].message, "hello");
}

TEST(Storage, ReservationsNeverExceedTheLimitUnderContention) {
    TempDir dir;
    auto storage = openStorage(dir.path());
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                if (storage->reserveUse("dev", "2025-01-01", 100)) {
                    ++granted;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(granted, 100);
    EXPECT_EQ(storage->usesOn("dev", "2025-01-01"), 100);
    EXPECT_EQ(storage->usesOn("dev", "2025-01-02"), 0) << "days are counted apart";

    storage->releaseUse("dev", "2025-01-01");
    EXPECT_TRUE(storage->reserveUse("dev", "2025-01-01", 100)) << "a released use is free again";
    storage->releaseUse("nobody", "2025-01-01");
    EXPECT_EQ(storage->usesOn("nobody", "2025-01-01"), 0) << "releasing never goes below zero";
}

TEST(Storage, TextKeepsEveryByte) {
    TempDir dir;
    auto storage = openStorage(dir.path());
    const std::string odd =
        std::string("nul") + '\0' + "inside \xE2\x80\x94 'quote\" ; DROP TABLE transcripts; --";
    storage->addTranscript("dev", odd, odd, "dictation", 1, 1);
    const auto page = storage->transcripts("dev", 1, {});
    ASSERT_EQ(page.transcripts.size(), 1u);
    EXPECT_EQ(page.transcripts[0].raw, odd);
}

TEST(Storage, TouchAddsAnUnregisteredDeviceAndRegistrationNamesIt) {
    TempDir dir;
    auto storage = openStorage(dir.path());
    storage->touchDevice("dev", 500);
    storage->touchDevice("dev", 700);
    auto device = storage->device("dev");
    ASSERT_TRUE(device);
    EXPECT_EQ(device->firstSeenMs, 500);
    EXPECT_EQ(device->lastSeenMs, 700);
    storage->registerDevice("dev", "Named", "1.0.0", 900);
    device = storage->device("dev");
    EXPECT_EQ(device->name, "Named");
    EXPECT_EQ(device->firstSeenMs, 500);
    EXPECT_EQ(device->lastSeenMs, 900);
}

TEST(Storage, RefusesAFolderItCannotCreate) {
    TempDir dir;
    writeFile(dir.path() / "file", "x");
    std::string error;
    EXPECT_FALSE(Storage::open(dir.path() / "file" / "data", error));
    EXPECT_NE(error.find("data folder"), std::string::npos) << error;
}

TEST(Storage, RefusesADamagedDatabase) {
    TempDir dir;
    writeFile(dir.path() / "skrib.sqlite3", std::string(4096, '\x5A'));
    std::string error;
    EXPECT_FALSE(Storage::open(dir.path(), error));
    EXPECT_FALSE(error.empty());
}

} // namespace
} // namespace skrib::service::test
