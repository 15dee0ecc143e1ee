// Starts the real program the way a user does and checks what its start-up leaves in the log
// files and on standard output.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines(const std::string& content) {
    std::vector<std::string> out;
    std::stringstream s(content);
    for (std::string line; std::getline(s, line);) {
        out.push_back(line);
    }
    return out;
}

class Program {
public:
    Program(const fs::path& home, const fs::path& stdoutFile, bool withDisplay = true) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("HOME", home.c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
            ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
            if (withDisplay) {
                ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            } else {
                ::unsetenv("QT_QPA_PLATFORM");
                ::unsetenv("DISPLAY");
                ::unsetenv("WAYLAND_DISPLAY");
            }
            const int fd = ::open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, STDOUT_FILENO);
            ::execl(SKRIB_PROGRAM, SKRIB_PROGRAM, static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool running() {
        int status = 0;
        if (!exited_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = status;
        }
        return !exited_;
    }
    // Sends `signal` (0: none) and waits (bounded) for the exit status.
    std::optional<int> terminate(int signal) {
        if (signal != 0) {
            ::kill(pid_, signal);
        }
        for (auto deadline = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
            if (!running()) {
                return status_;
            }
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

bool waitFor(const std::function<bool()>& condition) {
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
        if (condition()) {
            return true;
        }
    }
    return false;
}

const std::string started = "STARTED — Vantu Skrib launching...";
const std::string running = "🟢 Vantu Skrib running";
const std::regex anyLine(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] .*)");
const std::regex startedLine(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] STARTED — Vantu Skrib launching\.\.\.)");

class Startup : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skrib-e2e-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        home_ = dir_ / "home";
        fs::create_directories(home_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_, home_;
    const fs::path scratch_ = "/tmp/vs-debug.log";
};

TEST_P(Startup, TrimsTheHomeLogResetsTheScratchLogAndLogsTheFirstLine) {
    const int signal = GetParam();
    std::string oldLog;
    for (int i = 1; i <= 2500; ++i) {
        oldLog += "[10:00:00.000] old " + std::to_string(i) + "\n";
    }
    std::ofstream(home_ / ".vantuskrib.log") << oldLog;
    std::ofstream(scratch_) << "[09:00:00.000] a previous run\n";

    Program program(home_, dir_ / "stdout.txt");
    ASSERT_TRUE(waitFor([&] { return readFile(scratch_).find(running) != std::string::npos; }))
        << "scratch log: " << readFile(scratch_);

    const auto scratch = lines(readFile(scratch_));
    ASSERT_GE(scratch.size(), 2u);
    EXPECT_TRUE(std::regex_match(scratch[0], startedLine)) << scratch[0];
    for (const auto& line : scratch) {
        EXPECT_TRUE(std::regex_match(line, anyLine)) << line;
        EXPECT_EQ(line.find("a previous run"), std::string::npos)
            << "the scratch log holds only this run";
    }

    const auto home = lines(readFile(home_ / ".vantuskrib.log"));
    ASSERT_GE(home.size(), 1000u) << "999 old lines kept, then this run's lines";
    EXPECT_EQ(home.front(), "[10:00:00.000] old 1502");
    EXPECT_EQ(home[998], "[10:00:00.000] old 2500");
    EXPECT_EQ(home[999], scratch[0]);

    // The program keeps running its event loop until told to stop.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(program.running());
    const auto status = program.terminate(signal);
    ASSERT_TRUE(status.has_value()) << "the program did not stop on signal " << signal;
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by a signal instead of shutting down";
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_THAT(readFile(dir_ / "stdout.txt"), ::testing::StartsWith(started + "\n"));
}

INSTANTIATE_TEST_SUITE_P(Signals, Startup, ::testing::Values(SIGTERM, SIGINT));

// The device identity made on the first start is the one the second start reads back.
TEST_F(Startup, TheSecondStartReadsTheDeviceIdentifierTheFirstMade) {
    std::vector<std::string> keyLines;
    for (int start = 0; start < 2; ++start) {
        std::ofstream(scratch_) << "stale\n"; // the wait below must see this start's lines
        Program program(home_, dir_ / "stdout.txt");
        ASSERT_TRUE(waitFor([&] { return readFile(scratch_).find(running) != std::string::npos; }));
        for (const auto& line : lines(readFile(scratch_))) {
            if (line.find("🔑") != std::string::npos) {
                keyLines.push_back(line.substr(line.find("] ") + 2));
            }
        }
        ASSERT_TRUE(program.terminate(SIGTERM).has_value());
        EXPECT_THAT(readFile(scratch_), ::testing::HasSubstr("🧹 Cleanup complete"));
    }
    ASSERT_EQ(keyLines.size(), 2u) << ::testing::PrintToString(keyLines);
    std::smatch first, second;
    ASSERT_TRUE(std::regex_match(keyLines[0], first,
                                 std::regex("🔑 Generated new device ID: ([0-9A-F]{8})\\.\\.\\.")))
        << keyLines[0];
    ASSERT_TRUE(std::regex_match(keyLines[1], second,
                                 std::regex("🔑 Device ID from keychain: ([0-9A-F]{8})\\.\\.\\.")))
        << keyLines[1];
    EXPECT_EQ(first[1], second[1]);
}

// A second start hands over to the running program, which shows its window, and ends; once the
// first has gone (killed, leaving its socket file behind), a start runs again.
TEST_F(Startup, ASecondStartShowsTheRunningProgramAndEnds) {
    auto first = std::make_unique<Program>(home_, dir_ / "first.txt");
    ASSERT_TRUE(waitFor([&] { return readFile(dir_ / "first.txt").find(running) != std::string::npos; }));

    Program second(home_, dir_ / "second.txt");
    const auto status = second.terminate(0);
    ASSERT_TRUE(status.has_value()) << "the second start kept running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_THAT(readFile(dir_ / "second.txt"),
                ::testing::HasSubstr("👋 Vantu Skrib is already running — showing its window"));
    EXPECT_THAT(readFile(dir_ / "second.txt"), ::testing::Not(::testing::HasSubstr(running)));
    EXPECT_TRUE(waitFor([&] {
        return readFile(dir_ / "first.txt").find("🪟 Started again — showing the main window") !=
               std::string::npos;
    }));
    EXPECT_TRUE(first->running());
    ASSERT_TRUE(first->terminate(SIGKILL).has_value());
    first.reset();

    Program third(home_, dir_ / "third.txt");
    EXPECT_TRUE(waitFor([&] { return readFile(dir_ / "third.txt").find(running) != std::string::npos; }));
    EXPECT_TRUE(third.running());
}

TEST_F(Startup, WithoutADisplayItSaysSoAndExitsInsteadOfAborting) {
    Program program(home_, dir_ / "stdout.txt", /*withDisplay=*/false);
    const auto status = program.terminate(0);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << "killed by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    const auto log = lines(readFile(home_ / ".vantuskrib.log"));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(std::regex_match(log[0], startedLine));
    EXPECT_THAT(log[1], ::testing::HasSubstr("❌ No display"));
}

} // namespace
