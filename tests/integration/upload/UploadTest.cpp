// One dictation upload through the real HTTP stack to a loopback server that
// parses the body with an independent multipart parser (Python's email package) and measures
// the audio with ffprobe.

#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "audio/DictationSession.h"
#include "service/RefineClient.h"
#include "service/curl/CurlHttpClient.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>
#include <unistd.h>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(Upload, TheServerFindsThePartsInOrderAndTheAudioDecodesToTheRecordedLength) {
    char pattern[] = "/tmp/skrib-upload-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    const std::string server = "python3 " SKRIB_TEST_SOURCE_DIR "/multipart_server.py ";
    ASSERT_EQ(std::system((server + dir.string() + " &").c_str()), 0); // ends after one request
    for (int i = 0; i < 500 && !fs::exists(dir / "port"); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(fs::exists(dir / "port")) << "the test server did not start";

    LogCapture log;
    CurlHttpClient http;
    MemorySecretStore secrets;
    MemoryDefaults defaults;
    fs::create_directories(dir / "home");
    std::ofstream(dir / "home/.vantu-skrib-backend.json") << R"({"vocab":"Kubernetes, Qorin"})";
    RefineClient::Environment environment{http, secrets, defaults,
                                          "http://127.0.0.1:" + readFile(dir / "port"),
                                          (dir / "home").string(), "pc", "6.1.0"};
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
    client.process({session.getWAVData(), false}, "dictation", std::chrono::system_clock::now(),
                   [&answer](ProcessResult r) { answer.set_value(std::move(r)); });
    auto future = answer.get_future();
    ASSERT_EQ(future.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(future.get(), ProcessResult::success("hello world", "Hello world."));
    EXPECT_EQ(log.matching("⏱ LATENCY key-release→response=").size(), 1u);

    auto record = nlohmann::json::parse(readFile(dir / "request.json"));
    EXPECT_NEAR(record["parts"][0].value("duration", 0.0), seconds, 0.1);
    record["parts"][0].erase("duration");
    EXPECT_EQ(record, nlohmann::json::parse(R"({"multipart": true, "ends_with_closing": true,
        "device": ")" + client.deviceId() + R"(", "parts": [
        {"name": "audio", "filename": "recording.wav", "content_type": "audio/wav"},
        {"name": "vocab", "text": "Kubernetes, Qorin"}, {"name": "source", "text": "dictation"}]})"));
    fs::remove_all(dir);
}

} // namespace
} // namespace skrib::testing
