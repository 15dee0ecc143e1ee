// One dictation upload through the real HTTP stack and compressor to a loopback server that
// parses the body with an independent multipart parser (Python's email package).

#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "audio/DictationSession.h"
#include "audio/ffmpeg/AudioCompressor.h"
#include "service/RefineClient.h"
#include "service/curl/CurlHttpClient.h"

#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (pipe != nullptr && std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        out += buffer.data();
    }
    if (pipe != nullptr) {
        ::pclose(pipe);
    }
    return out;
}

class Upload : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skrib-upload-XXXXXX";
        dir = ::mkdtemp(pattern);
        const std::string script = std::string(SKRIB_TEST_SOURCE_DIR) + "/multipart_server.py";
        std::vector<std::string> args{"python3", script, dir.string()};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ASSERT_EQ(::posix_spawnp(&server, "python3", nullptr, nullptr, argv.data(), environ), 0);
        for (int i = 0; i < 500 && !fs::exists(dir / "port"); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(fs::exists(dir / "port")) << "the test server did not start";
        port = readFile(dir / "port");
    }
    void TearDown() override {
        if (server > 0) {
            ::kill(server, SIGTERM);
            ::waitpid(server, nullptr, 0);
        }
        fs::remove_all(dir);
    }

    fs::path dir;
    pid_t server = -1;
    std::string port;
};

TEST_F(Upload, TheServerFindsThePartsInOrderAndTheAudioDecodesToTheRecordedLength) {
    LogCapture log;
    CurlHttpClient http;
    MemorySecretStore secrets;
    MemoryDefaults defaults;
    const fs::path home = dir / "home";
    fs::create_directories(home);
    std::ofstream(home / ".vantu-skrib-backend.json") << R"({"vocab":"Kubernetes, Qorin"})";
    RefineClient::Environment environment{
        http, secrets, defaults, "http://127.0.0.1:" + port, home.string(), "pc", "6.1.0"};
    environment.compressAudio = &AudioCompressor::compressWAVToM4A;
    RefineClient client(std::move(environment));

    constexpr double seconds = 7.3;
    DictationSession session;
    std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 0.3f * std::sin(static_cast<float>(i) * 0.05f) *
                     (0.6f + 0.4f * std::sin(static_cast<float>(i) * 0.0011f));
    }
    session.appendSamples(samples);

    std::promise<ProcessResult> answer;
    client.process(session.getWAVData(), "dictation", std::chrono::system_clock::now(),
                   [&answer](ProcessResult r) { answer.set_value(std::move(r)); });
    auto future = answer.get_future();
    ASSERT_EQ(future.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(future.get(), ProcessResult::success("hello world", "Hello world."));
    EXPECT_EQ(log.matching("⏱ LATENCY key-release→response=").size(), 1u);
    EXPECT_EQ(log.matching("🗜 Compressed").size(), 1u);

    const auto record = nlohmann::json::parse(readFile(dir / "request.json"));
    EXPECT_TRUE(record["multipart"]);
    EXPECT_TRUE(record["ends_with_closing"]);
    EXPECT_EQ(record["device"], client.deviceId());
    const auto& parts = record["parts"];
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0]["name"], "audio");
    EXPECT_EQ(parts[0]["filename"], "recording.m4a");
    EXPECT_EQ(parts[0]["content_type"], "audio/mp4");
    EXPECT_EQ(parts[1]["name"], "vocab");
    EXPECT_EQ(parts[1]["text"], "Kubernetes, Qorin");
    EXPECT_EQ(parts[2]["name"], "source");
    EXPECT_EQ(parts[2]["text"], "dictation");

    const std::string duration = run("ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                                     (dir / "audio-0").string());
    ASSERT_FALSE(duration.empty());
    EXPECT_NEAR(std::stod(duration), seconds, 0.1);
}

} // namespace
} // namespace skrib::testing
