#include "dictation/KeptDictations.h"

#include "FakeScheduler.h"
#include "LogCapture.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

int modeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 0777) : -1;
}

class Kept : public ::testing::Test {
protected:
    ~Kept() override { fs::remove_all(root); }

    std::unique_ptr<KeptDictations> make() {
        return std::make_unique<KeptDictations>(KeptDictations::Environment{
            store, queue, appState, center,
            [this](AudioPayload audio, std::optional<std::string> vocab, auto completion) {
                sent.push_back(audio.bytes + "|" + vocab.value_or("-") + "@" +
                               std::to_string(static_cast<int>(queue.absoluteTime())));
                answers.push_back(std::move(completion));
            },
            [this](const std::string& text, WallClock::time_point at) {
                delivered.push_back(text + "@" + std::to_string(std::chrono::duration_cast<
                    std::chrono::seconds>(at - queue.now()).count()));
            }});
    }
    // A live upload of `audio` that failed with `result`; its id.
    std::string failLive(const std::string& audio, const ProcessResult& result) {
        KeptDictation facts;
        facts.recordedAt = queue.now();
        facts.vocab = "Qorin";
        const std::string id = kept->keepAhead({audio, true, 2.5}, facts);
        kept->liveFinished(id, result, true);
        queue.runUntilIdle();
        return id;
    }
    void answer(const ProcessResult& result) {
        auto done = std::move(answers.at(0));
        answers.erase(answers.begin());
        done(result);
        queue.runUntilIdle();
    }

    LogCapture log;
    std::string pattern = "/tmp/skrib-kept-XXXXXX";
    fs::path root = ::mkdtemp(pattern.data());
    fs::path folder = root / "share/VantuSkrib/pending";
    FakeScheduler queue;
    AppState appState;
    NotificationCenter center;
    KeptDictationStore store{folder.string(), {3, 1000}};
    std::vector<std::string> sent, delivered;
    std::vector<std::function<void(ProcessResult)>> answers;
    std::unique_ptr<KeptDictations> kept = make();
};

struct WaitCase {
    const char* name;
    ProcessResult failure; // every answer, the first upload's too
    double horizon;        // seconds watched
    std::vector<int> sendTimes;
};

class Waits : public Kept, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(Waits, AFailedUploadIsSentAgainWhenItsKindOfFailureAllows) {
    const WaitCase& c = GetParam();
    failLive("m4a", c.failure);
    EXPECT_THAT(log.matching("💾"), ElementsAre("💾 Kept failed dictation for retry (2.5s, 0KB)"));
    std::vector<int> times;
    for (double t = 0; t < c.horizon; t += 1) {
        queue.advance(1);
        while (!answers.empty()) {
            times.push_back(static_cast<int>(queue.absoluteTime()));
            answer(c.failure);
        }
    }
    EXPECT_EQ(times, c.sendTimes);
    EXPECT_EQ(kept->waiting().size(), 1u);
}

const auto transport = ProcessResult::error("Connection lost — try again");
// clang-format off
INSTANTIATE_TEST_SUITE_P(Kinds, Waits, ::testing::Values(
    WaitCase{"noConnection", transport, 2200, {30, 90, 210, 450, 930, 1530, 2130}},
    WaitCase{"serverFault", ProcessResult::error("Server temporarily unavailable", 503), 100, {30, 90}},
    WaitCase{"unreadableAnswer", ProcessResult::error("Something went wrong — try again", 200), 100, {30, 90}},
    WaitCase{"dailyLimitWaitsForMidnightUTC", ProcessResult::rateLimited(), 2 * 86400 + 5, {86401, 172801}},
    WaitCase{"turnedDownWaitsForTheUser", ProcessResult::error("too long", 400), 2 * 86400, {}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Kept, WhenTheServiceAnswersAgainEachIsDeliveredAtItsOwnTimeOldestFirstAndLetGo) {
    failLive("first", transport);
    queue.advance(5);
    failLive("second", ProcessResult::error("Server temporarily unavailable", 503));
    const std::string byHand = failLive("third", ProcessResult::error("too long", 400));
    appState.state.set(SkribState::listening); // never while a dictation runs
    queue.advance(100);
    EXPECT_TRUE(sent.empty());
    appState.state.set(SkribState::idle);
    queue.runUntilIdle();
    ASSERT_THAT(sent, ElementsAre("first|Qorin@105"));
    answer(ProcessResult::success("one", "One."));
    answer(ProcessResult::success("two", std::nullopt));
    EXPECT_THAT(sent, ElementsAre("first|Qorin@105", "second|Qorin@105"));
    EXPECT_THAT(delivered, ElementsAre("One.@-105", "two@-100"));
    EXPECT_THAT(log.matching("✅"), ElementsAre("✅ Kept dictation transcribed: One....",
                                               "✅ Kept dictation transcribed: two..."));
    queue.advance(3600);
    ASSERT_EQ(kept->waiting().size(), 1u); // turned down: only the user sends it again
    kept->retryAll();
    queue.runUntilIdle();
    answer(ProcessResult::success("three", "Three."));
    EXPECT_TRUE(kept->waiting().empty());
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_THAT(log.matching("🔁"), ::testing::Each(std::string("🔁 Retrying kept dictation (2.5s)")));
}

TEST_F(Kept, AQuitWhileTheUploadIsUnderWayKeepsItForTheNextStart) {
    const std::string id = kept->keepAhead({"audio", false, 4}, KeptDictation{});
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(modeOf(folder), 0700);
    EXPECT_EQ(modeOf(folder / (id + ".wav")), 0600);
    EXPECT_TRUE(kept->waiting().empty()); // being sent
    kept->shutDown();
    EXPECT_THAT(log.matching("💾"), ElementsAre("💾 Kept failed dictation for retry (4.0s, 0KB)"));
    kept = make();
    kept->start();
    queue.advance(KeptDictations::launchCheckSeconds);
    EXPECT_THAT(sent, ElementsAre("audio|-@" + std::to_string(int(queue.absoluteTime()))));
}

TEST_F(Kept, BeyondTheLimitsTheOldestGoAndADamagedFileIsMovedAsideWithoutBlockingTheOthers) {
    for (const char* audio : {"a", "b", "c", "d"}) { // at most three
        queue.advance(1);
        failLive(audio, ProcessResult::error("too long", 400));
    }
    queue.advance(1);
    failLive(std::string(999, 'e'), ProcessResult::error("too long", 400)); // 1000 bytes at most: two more go
    EXPECT_EQ(log.matching("🗑 Dropped the oldest kept dictation").size(), 3u);
    ASSERT_EQ(kept->waiting().size(), 2u);
    const KeptDictation d = kept->waiting().front();
    std::ofstream(folder / (d.id + ".json")) << "{\"seconds\":";
    std::ofstream(folder / "20250101-000000-orphan.m4a") << "words";
    ASSERT_EQ(kept->waiting().size(), 1u);
    EXPECT_TRUE(fs::exists(folder / "damaged" / (d.id + ".json")));
    EXPECT_TRUE(fs::exists(folder / "damaged/20250101-000000-orphan.m4a"));
    EXPECT_EQ(log.matching("is damaged").size(), 2u);
    kept->retryAll();
    queue.runUntilIdle();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].substr(998), "e|Qorin@5");
}

} // namespace
} // namespace skrib::testing
