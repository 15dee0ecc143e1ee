#include "log/DebugLog.h"

#include "platform/HomeDirectory.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace skrib {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> splitLines(const std::string& content) {
    std::vector<std::string> lines;
    std::stringstream s(content);
    for (std::string line; std::getline(s, line);) {
        lines.push_back(line);
    }
    return lines;
}

struct RecordingSink : LogSink {
    struct Entry {
        std::string message, level, source;
    };
    void log(std::string_view message, std::string_view level, std::string_view source) override {
        std::lock_guard lock(mutex);
        entries.push_back({std::string(message), std::string(level), std::string(source)});
    }
    std::mutex mutex;
    std::vector<Entry> entries;
};

class LogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skrib-log-test-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        home_ = dir_ / "home";
        fs::create_directories(home_);
        scratch_ = dir_ / "vs-debug.log";
        setLogPaths((home_ / ".vantuskrib.log").string(), scratch_.string());
    }
    void TearDown() override {
        setLogSink(nullptr);
        setLogPaths({}, {});
        fs::remove_all(dir_);
    }
    fs::path homeLog() const { return home_ / ".vantuskrib.log"; }

    fs::path dir_, home_, scratch_;
};

const std::regex linePattern(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] .*)");

TEST_F(LogFiles, FirstLineCreatesTheFilesAndLaterLinesAppend) {
    debugLog("🎙 one");
    debugLog("🎙 two");
    for (const auto& path : {homeLog(), scratch_}) {
        const auto lines = splitLines(readFile(path));
        ASSERT_EQ(lines.size(), 2u) << path;
        EXPECT_TRUE(std::regex_match(lines[0], linePattern)) << lines[0];
        EXPECT_THAT(lines[0], ::testing::EndsWith("] 🎙 one"));
        EXPECT_THAT(lines[1], ::testing::EndsWith("] 🎙 two"));
        EXPECT_EQ(readFile(path).back(), '\n');
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "the log may hold dictated text";
    }
}

TEST_F(LogFiles, AFileThatCannotBeWrittenDoesNotStopTheOther) {
    setLogPaths((dir_ / "missing-dir" / "x.log").string(), scratch_.string());
    auto sink = std::make_shared<RecordingSink>();
    setLogSink(sink);
    debugLog("✅ still here");
    EXPECT_THAT(readFile(scratch_), ::testing::EndsWith("] ✅ still here\n"));
    ASSERT_EQ(sink->entries.size(), 1u);
}

TEST_F(LogFiles, SymbolicLinkAtTheScratchPathIsNotFollowed) {
    const fs::path victim = dir_ / "victim";
    writeFile(victim, "keep");
    fs::create_symlink(victim, scratch_);
    debugLog("🎙 hello");
    EXPECT_EQ(readFile(victim), "keep");
    EXPECT_THAT(readFile(homeLog()), ::testing::EndsWith("] 🎙 hello\n"));
}

TEST_F(LogFiles, SinkReceivesMessageLevelAndSource) {
    auto sink = std::make_shared<RecordingSink>();
    setLogSink(sink);
    debugLog("❌ Audio capture permanently failed — force-stopping dictation");
    debugLog("❌ Failed to start audio capture");
    ASSERT_EQ(sink->entries.size(), 2u);
    EXPECT_EQ(sink->entries[0].message,
              "❌ Audio capture permanently failed — force-stopping dictation");
    EXPECT_EQ(sink->entries[0].level, "error");
    EXPECT_EQ(sink->entries[0].source, "macos-app");
    EXPECT_EQ(sink->entries[1].level, "info");
}

TEST_F(LogFiles, InvalidUtf8IsReplacedEverywhere) {
    auto sink = std::make_shared<RecordingSink>();
    setLogSink(sink);
    debugLog(std::string("🎤 Mic \xFF\xFE name"));
    ASSERT_EQ(sink->entries.size(), 1u);
    EXPECT_EQ(sink->entries[0].message, "🎤 Mic \uFFFD\uFFFD name");
    EXPECT_THAT(readFile(homeLog()), ::testing::EndsWith("] 🎤 Mic \uFFFD\uFFFD name\n"));
}

TEST_F(LogFiles, TwoThreadsLoggingAtOnceWriteWholeLinesInTheSameOrderToBothFiles) {
    constexpr int perThread = 300;
    auto worker = [](char name) {
        for (int i = 0; i < perThread; ++i) {
            debugLog(std::string("⏱ thread ") + name + " line " + std::to_string(i) +
                     std::string(static_cast<std::size_t>(i % 50), 'x'));
        }
    };
    std::thread a(worker, 'a');
    std::thread b(worker, 'b');
    a.join();
    b.join();
    const std::string home = readFile(homeLog());
    EXPECT_EQ(home, readFile(scratch_));
    const auto lines = splitLines(home);
    ASSERT_EQ(lines.size(), 2u * perThread);
    int nextA = 0, nextB = 0;
    const std::regex whole(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] ⏱ thread ([ab]) line (\d+)(x*))");
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
        const int i = std::stoi(m[2]);
        EXPECT_EQ(m[3].length(), i % 50);
        EXPECT_EQ(i, m[1] == "a" ? nextA++ : nextB++) << "each thread's lines keep their order";
    }
}

TEST_F(LogFiles, PrepareEmptiesTheScratchLogAndPointsAtTheHomeDirectory) {
    writeFile(scratch_, "old run\n");
    prepareLogging(home_.string(), scratch_.string());
    EXPECT_EQ(logPath(), home_.string() + "/.vantuskrib.log");
    EXPECT_TRUE(fs::exists(scratch_));
    EXPECT_EQ(readFile(scratch_), "");
    EXPECT_FALSE(fs::exists(homeLog())) << "nothing is written before the first line";
}

std::string numberedLines(int count, bool trailingLineFeed) {
    std::string content;
    for (int i = 1; i <= count; ++i) {
        content += "[00:00:00.000] line " + std::to_string(i);
        if (i < count || trailingLineFeed) {
            content += '\n';
        }
    }
    return content;
}

struct TrimCase {
    int lines;
    bool trailingLineFeed;
    bool trimmed;
    int firstKept; // number of the first line kept after trimming
};

class TruncateLog : public LogFiles, public ::testing::WithParamInterface<TrimCase> {};

TEST_P(TruncateLog, KeepsTheLastThousandPiecesOnlyWhenOverTwoThousand) {
    const auto c = GetParam();
    const std::string original = numberedLines(c.lines, c.trailingLineFeed);
    writeFile(homeLog(), original);
    truncateLog();
    const std::string after = readFile(homeLog());
    if (!c.trimmed) {
        EXPECT_EQ(after, original);
        return;
    }
    const std::size_t pieces =
        static_cast<std::size_t>(std::count(after.begin(), after.end(), '\n')) + 1;
    EXPECT_EQ(pieces, 1000u);
    EXPECT_THAT(after,
                ::testing::StartsWith("[00:00:00.000] line " + std::to_string(c.firstKept) + "\n"));
    EXPECT_TRUE(original.ends_with(after));
    EXPECT_EQ(after.ends_with('\n'), c.trailingLineFeed);
    EXPECT_EQ(std::distance(fs::directory_iterator(home_), fs::directory_iterator{}), 1)
        << "no temporary file may remain";
}

INSTANTIATE_TEST_SUITE_P(Cases, TruncateLog,
                         ::testing::Values(
                             // 2000 lines + line feed = 2001 pieces: 999 lines and the empty piece
                             TrimCase{2000, true, true, 1002}, TrimCase{1999, true, false, 0},
                             TrimCase{2000, false, false, 0}, TrimCase{2001, false, true, 1002},
                             TrimCase{5000, true, true, 4002}, TrimCase{0, false, false, 0}));

TEST_F(LogFiles, TruncateKeepsPermissionsAndTrimsALogWithBytesThatAreNotUtf8) {
    std::string content = numberedLines(2500, true);
    content.insert(content.size() - 5, "\xC3\x28"); // invalid sequence in the kept part
    content.insert(10, "\xFF");                     // and one in the dropped part
    writeFile(homeLog(), content);
    fs::permissions(homeLog(), fs::perms::owner_read | fs::perms::owner_write);
    truncateLog();
    const std::string after = readFile(homeLog());
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 999);
    EXPECT_TRUE(content.ends_with(after));
    EXPECT_EQ(fs::status(homeLog()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(LogFiles, TruncateLeavesAMissingLogMissing) {
    truncateLog();
    EXPECT_FALSE(fs::exists(homeLog()));
}

struct LevelCase {
    const char* message;
    const char* level;
};

class LogLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LogLevel, ClassifiesByCaseSensitiveSubstrings) {
    EXPECT_EQ(logLevel(GetParam().message), GetParam().level) << GetParam().message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogLevel,
    ::testing::Values(LevelCase{"❌ Failed to start audio capture", "info"},
                      LevelCase{"❌ Audio capture permanently failed — stopping", "error"},
                      LevelCase{"⚠️ No input device", "error"},
                      LevelCase{"\u26A0 sign without its variation selector", "info"},
                      LevelCase{"☁️ sync error: timeout", "error"},
                      LevelCase{"Error: capitalised only", "info"},
                      LevelCase{"ERROR and FAIL shouting", "info"},
                      LevelCase{"terrorist is a substring hit", "error"},
                      LevelCase{"the upload failed", "error"}, LevelCase{"✅ fine", "info"},
                      LevelCase{"", "info"}));

TEST(Timestamp, IsLocalHoursMinutesSecondsAndTruncatedMilliseconds) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    using namespace std::chrono;
    // 2026-12-05 14:03:07 UTC
    const system_clock::time_point base{seconds(1796479387)};
    EXPECT_EQ(timestamp(base + milliseconds(250)), "14:03:07.250");
    EXPECT_EQ(timestamp(base + microseconds(999999)), "14:03:07.999");
    EXPECT_EQ(timestamp(base + microseconds(5900)), "14:03:07.005");
    EXPECT_EQ(timestamp(base - hours(14) - minutes(3) - seconds(7)), "00:00:00.000");
    ::setenv("TZ", "CET-1", 1);
    ::tzset();
    EXPECT_EQ(timestamp(base), "15:03:07.000") << "local time, not UTC";
    if (oldTz) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

struct Utf8Case {
    std::string input;
    std::string expected;
};

class ValidUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(ValidUtf8, ReplacesEachBrokenSequenceOnce) {
    EXPECT_EQ(toValidUtf8(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValidUtf8,
    ::testing::Values(Utf8Case{"plain", "plain"},
                      Utf8Case{"🎙 — ✅ ⚠️", "🎙 — ✅ ⚠️"},
                      Utf8Case{"a\xFF"
                               "b",
                               "a\uFFFDb"},
                      Utf8Case{"\xC0\xAF", "\uFFFD\uFFFD"},           // overlong
                      Utf8Case{"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"}, // surrogate
                      Utf8Case{"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},
                      Utf8Case{"\xE2\x9A", "\uFFFD"}, // cut short at the end
                      Utf8Case{"\xE2\x9A"
                               "x",
                               "\uFFFDx"},
                      Utf8Case{std::string("a\0b", 3), std::string("a\0b", 3)}));

TEST(HomeDirectory, ComesFromHomeElseThePasswordDatabase) {
    const char* old = std::getenv("HOME");
    const std::string saved = old ? old : "";
    ::setenv("HOME", "/some/where", 1);
    EXPECT_EQ(homeDirectory(), "/some/where");
    ::unsetenv("HOME");
    const std::string fromDatabase = homeDirectory();
    EXPECT_FALSE(fromDatabase.empty());
    ::setenv("HOME", "", 1);
    EXPECT_EQ(homeDirectory(), fromDatabase);
    if (old) {
        ::setenv("HOME", saved.c_str(), 1);
    }
}

} // namespace
} // namespace skrib
