// AAC compression while recording, with the real FFmpeg libraries; the file is read back by
// ffprobe and decoded by ffmpeg.
#include "audio/ffmpeg/AudioCompressor.h"

#include "audio/DictationSession.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <nlohmann/json.hpp>
#include <thread>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using File = std::optional<std::string>;

class Compressor : public ::testing::TestWithParam<double> {
protected:
    void TearDown() override { fs::remove_all(dir); }
    nlohmann::json probe(const std::string& m4a) {
        std::ofstream(dir / "out.m4a", std::ios::binary) << m4a;
        std::system(("ffprobe -v error -show_streams -show_format -of json " + dir.string() +
                     "/out.m4a >" + dir.string() + "/probe.json && ffmpeg -v error -i " +
                     dir.string() + "/out.m4a -f s16le " + dir.string() + "/out.raw")
                        .c_str());
        return nlohmann::json::parse(std::ifstream(dir / "probe.json"), nullptr, false);
    }
    std::vector<std::int16_t> decoded() {
        std::ifstream in(dir / "out.raw", std::ios::binary);
        std::vector<std::int16_t> samples(fs::file_size(dir / "out.raw") / 2);
        in.read(reinterpret_cast<char*>(samples.data()), std::ssize(samples) * 2);
        return samples;
    }

    std::string pattern = "/tmp/skrib-aac-XXXXXX";
    fs::path dir = ::mkdtemp(pattern.data());
};

// A tone whose level changes every second, recorded in capture-sized blocks on a thread of its
// own and stopped in the middle of an AAC frame, comes back as a small AAC M4A of the recorded
// length with the same level, second by second.
TEST_P(Compressor, TheFileMadeWhileRecordingHasTheRecordingsLengthAndLevels) {
    const double seconds = GetParam();
    const auto level = [](std::size_t i) {
        return 0.1 + 0.25 * static_cast<double>(i / 16000 % 3);
    };
    std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(level(i) * std::sqrt(2) * std::sin(i * 0.07));
    }
    AudioCompressor compressor;
    DictationSession session(compressor.start(16000));
    std::thread([&] {
        for (std::size_t at = 0; at < samples.size(); at += 1601) {
            session.appendSamples(std::span(samples).subspan(at).first(
                std::min<std::size_t>(1601, samples.size() - at)));
        }
    }).join();
    std::promise<std::pair<File, std::string>> finished;
    session.finishEncoding([&](File m4a, std::string error) { finished.set_value({m4a, error}); });
    const auto [m4a, error] = finished.get_future().get();

    ASSERT_TRUE(m4a.has_value()) << error;
    EXPECT_TRUE(seconds < 1 || m4a->size() * 5 < session.wavSize()) << m4a->size() << " bytes";
    const auto info = probe(*m4a);
    ASSERT_TRUE(info.is_object() && info["streams"].size() == 1u) << info.dump();
    EXPECT_EQ(info["streams"][0]["codec_name"], "aac");
    EXPECT_EQ(info["streams"][0]["sample_rate"], "16000");
    EXPECT_EQ(info["streams"][0]["channels"], 1);
    EXPECT_THAT(info["format"]["format_name"].get<std::string>(), ::testing::HasSubstr("m4a"));
    EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), seconds, 0.1);
    const auto out = decoded();
    EXPECT_GE(out.size(), samples.size()); // every sample, the last frame decoded whole
    EXPECT_LT(out.size(), samples.size() + 1024);
    for (std::size_t second = 0; (second + 1) * 16000 <= out.size(); ++second) {
        double sum = 0;
        for (std::size_t i = second * 16000; i < (second + 1) * 16000; ++i) {
            sum += std::pow(out[i] / 32768.0, 2);
        }
        EXPECT_NEAR(std::sqrt(sum / 16000), level(second * 16000), 0.05) << "second " << second;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, Compressor, ::testing::Values(0.3, 7.5, 61.7));

// A cancel while recording, or while finishing, gives no file and leaves no work behind.
TEST(Encoder, ACancelGivesNoFile) {
    for (const bool finishing : {false, true}) {
        std::atomic<int> files = 0;
        {
            auto encoder = AudioCompressor().start(16000);
            encoder->append(std::vector<std::int16_t>(16000 * 600, 3000)); // 10 minutes queued
            if (finishing) {
                encoder->finish([&](File, std::string) { ++files; });
            }
        }
        EXPECT_EQ(files, 0) << "finishing: " << finishing;
    }
}

} // namespace
} // namespace skrib::testing
