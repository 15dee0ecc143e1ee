#include "log/DebugLog.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <regex>
#include <thread>

namespace skrib {
namespace {

namespace fs = std::filesystem;
constexpr auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class LogFiles : public ::testing::Test, public LogSink {
protected:
    void SetUp() override {
        fs::create_directories(dir / "home");
        setLogPaths(homeLog.string(), scratch().string());
    }
    void TearDown() override {
        setLogSink(nullptr);
        setLogPaths({}, {});
        fs::remove_all(dir);
    }
    fs::path scratch() const { return dir / "vs-debug.log"; }
    void log(std::string_view message, std::string_view level, std::string_view source) override {
        std::lock_guard lock(mutex);
        sunk.push_back(std::string(message) + " | " + std::string(level) + " | " +
                       std::string(source));
    }
    std::string pattern = "/tmp/skrib-log-test-XXXXXX";
    fs::path dir = ::mkdtemp(pattern.data()), homeLog = dir / "home/.vantuskrib.log";
    std::mutex mutex;
    std::vector<std::string> sunk;
};

TEST_F(LogFiles, EveryLineGoesToBothPrivateFilesAndTheSink) {
    setLogSink(std::shared_ptr<LogSink>(this, [](LogSink*) {}));
    debugLog("🎙 one");
    debugLog(std::string("⚠️ Mic \xFF name"));
    for (const auto& path : {homeLog, scratch()}) {
        EXPECT_EQ(
            std::regex_replace(readFile(path), std::regex(R"(\[\d\d:\d\d:\d\d\.\d{3}\] )"), "|"),
            "|🎙 one\n|⚠️ Mic \uFFFD name\n");
        EXPECT_EQ(fs::status(path).permissions(), ownerOnly) << "the log may hold dictated text";
    }
    EXPECT_THAT(sunk, ::testing::ElementsAre("🎙 one | info | macos-app",
                                             "⚠️ Mic \uFFFD name | error | macos-app"));
}

TEST_F(LogFiles, AFileThatCannotBeWrittenOrIsALinkDoesNotStopTheOther) {
    setLogPaths((dir / "missing-dir/x.log").string(), scratch().string());
    debugLog("✅ still here");
    EXPECT_THAT(readFile(scratch()), ::testing::EndsWith("] ✅ still here\n"));
    fs::remove(scratch());
    std::ofstream(dir / "victim") << "keep";
    fs::create_symlink(dir / "victim", scratch());
    setLogPaths(homeLog.string(), scratch().string());
    debugLog("🎙 hello");
    EXPECT_EQ(readFile(dir / "victim"), "keep");
    EXPECT_THAT(readFile(homeLog), ::testing::EndsWith("] 🎙 hello\n"));
}

TEST_F(LogFiles, TwoThreadsLoggingAtOnceWriteWholeLinesInTheSameOrderToBothFiles) {
    auto worker = [](char name) {
        for (std::size_t i = 0; i < 1000; ++i) {
            debugLog(std::string("⏱ ") + name + std::string(i % 50, 'x') + name);
        }
    };
    std::thread a(worker, 'a'), b(worker, 'b');
    a.join();
    b.join();
    const std::string home = readFile(homeLog);
    EXPECT_EQ(home, readFile(scratch()));
    EXPECT_EQ(std::regex_replace(home, std::regex(R"(\[[0-9:.]{12}\] ⏱ (a|b)x*\1\n)"), ""), "");
    EXPECT_EQ(std::ranges::count(home, '\n'), 2000);
}

struct TrimCase { int lines; bool trailingLineFeed; int firstKept; }; // firstKept 0: untrimmed

class TruncateLog : public LogFiles, public ::testing::WithParamInterface<TrimCase> {};

TEST_P(TruncateLog, KeepsTheLastThousandPiecesOnlyWhenOverTwoThousand) {
    const auto c = GetParam();
    std::string original;
    for (int i = 1; i <= c.lines; ++i) {
        original += "[00:00:00.000] line " + std::to_string(i);
        original += i < c.lines || c.trailingLineFeed ? "\n" : "";
    }
    original.insert(original.size() * 3 / 4, "\xC3\x28"); // not UTF-8, yet kept as it is
    std::ofstream(homeLog) << original;
    fs::permissions(homeLog, ownerOnly);
    truncateLog();
    const std::string after = readFile(homeLog);
    EXPECT_TRUE(original.ends_with(after));
    EXPECT_EQ(fs::status(homeLog).permissions(), ownerOnly);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "home"), fs::directory_iterator{}), 1)
        << "no temporary file may remain";
    if (c.firstKept == 0) {
        EXPECT_EQ(after, original);
        return;
    }
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n') + 1, 1000);
    EXPECT_TRUE(after.starts_with("[00:00:00.000] line " + std::to_string(c.firstKept) + "\n"));
}

// 2000 lines and a line feed are 2001 pieces: 999 lines and the empty piece are kept.
INSTANTIATE_TEST_SUITE_P(Cases, TruncateLog, ::testing::Values(TrimCase{2000, true, 1002}, TrimCase{1999, true, 0}, TrimCase{2000, false, 0}, TrimCase{2001, false, 1002}, TrimCase{5000, true, 4002}));

TEST_F(LogFiles, TruncateLeavesAMissingLogMissing) {
    truncateLog();
    EXPECT_FALSE(fs::exists(homeLog));
}

TEST(LogLevel, IsErrorForCaseSensitiveWarningErrorOrFail) {
    for (const char* error : {"❌ Audio capture permanently failed", "⚠️ No input device",
                              "☁️ sync error: timeout", "terrorist is a substring hit"}) {
        EXPECT_EQ(logLevel(error), "error") << error;
    }
    for (const char* info : {"❌ Failed to start audio capture", "\u26A0 without its selector",
                             "Error: capitalised only", "ERROR and FAIL shouting", ""}) {
        EXPECT_EQ(logLevel(info), "info") << info;
    }
}

TEST(ValidUtf8, ReplacesEachBrokenSequenceOnce) {
    // overlong, surrogate, beyond U+10FFFF, cut short; NUL is valid
    EXPECT_EQ(toValidUtf8("\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xE2\x9A|\xE2\x9A"),
              "\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD\uFFFD|\uFFFD|\uFFFD");
    EXPECT_EQ(toValidUtf8(std::string("🎙 a\0b", 8)), std::string("🎙 a\0b", 8));
}

} // namespace
} // namespace skrib
