// AAC compression with the real FFmpeg libraries, read back by ffprobe.
#include "audio/ffmpeg/AudioCompressor.h"

#include "LogCapture.h"
#include "audio/DictationSession.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;

class Compressor : public ::testing::TestWithParam<double> {
protected:
    void SetUp() override {
        fs::create_directories(scratch), ::setenv("TMPDIR", scratch.c_str(), 1);
    }
    void TearDown() override {
        EXPECT_TRUE(fs::is_empty(scratch)) << "the compressor left a file behind";
        ::unsetenv("TMPDIR"), fs::remove_all(dir);
    }
    nlohmann::json probe(const std::vector<std::uint8_t>& m4a) {
        std::ofstream(dir / "out.m4a", std::ios::binary)
            .write(reinterpret_cast<const char*>(m4a.data()), std::ssize(m4a));
        std::system(("ffprobe -v error -show_streams -show_format -of json " + dir.string() +
                     "/out.m4a >" + dir.string() + "/probe.json")
                        .c_str());
        return nlohmann::json::parse(std::ifstream(dir / "probe.json"), nullptr, false);
    }

    LogCapture log;
    std::string pattern = "/tmp/skrib-aac-XXXXXX";
    fs::path dir = ::mkdtemp(pattern.data()), scratch = dir / "tmp";
};

// The program's own WAV (16 kHz mono 16-bit) of each length becomes a small M4A of that length.
TEST_P(Compressor, TheProgramsWavBecomesAnAacM4AOfTheSameLength) {
    const double seconds = GetParam();
    DictationSession session;
    std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 0.4f * std::sin(static_cast<float>(i) * 0.07f) *
                     std::sin(static_cast<float>(i) * 0.0003f);
    }
    session.appendSamples(samples);
    const std::vector<std::uint8_t> wav = session.getWAVData();
    const auto m4a = AudioCompressor::compressWAVToM4A(wav);
    ASSERT_TRUE(m4a.has_value()) << ::testing::PrintToString(log.messages());
    EXPECT_TRUE(log.messages().empty());
    EXPECT_TRUE(seconds < 1 || m4a->size() * 5 < wav.size()) << m4a->size() << " bytes";
    const auto info = probe(*m4a);
    ASSERT_TRUE(info.is_object() && info["streams"].size() == 1u) << info.dump();
    EXPECT_EQ(info["streams"][0]["codec_name"], "aac");
    EXPECT_EQ(info["streams"][0]["sample_rate"], "16000");
    EXPECT_EQ(info["streams"][0]["channels"], 1);
    EXPECT_THAT(info["format"]["format_name"].get<std::string>(), ::testing::HasSubstr("m4a"));
    EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), seconds, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Compressor, ::testing::Values(0.3, 7.5, 61.7));

// A WAV header with the given fields and `data` of 16-bit or float samples.
template <typename T>
std::vector<std::uint8_t> wav(const char* riff, std::uint16_t tag, std::uint16_t channels,
                              std::uint32_t rate, std::uint8_t bits, const char* chunk,
                              std::vector<T> data) {
    const auto size = static_cast<std::uint32_t>(data.size() * sizeof(T));
    std::vector<std::uint8_t> b(44 + size, 0);
    std::memcpy(b.data() + 44, data.data(), size);
    std::memcpy(b.data(), riff, 4), std::memcpy(b.data() + 8, "WAVEfmt ", 8);
    b[16] = 16, b[20] = static_cast<std::uint8_t>(tag), b[22] = static_cast<std::uint8_t>(channels);
    std::memcpy(b.data() + 24, &rate, 4), std::memcpy(b.data() + 36, chunk, 4), b[34] = bits;
    std::memcpy(b.data() + 40, &size, 4);
    return b;
}

// Other programs' WAVs: decoded to mono, or refused with a reason (no samples expected).
TEST(WavInput, DecodesToMonoOrIsRefusedWithAReason) {
    const std::vector<std::int16_t> tone(1600, 3000);
    const struct {
        std::vector<std::uint8_t> bytes;
        std::vector<float> samples;
        int rate = 0;
    } cases[] = {
        {wav<std::int16_t>("RIFF", 1, 2, 16000, 16, "data", {16384, 0, -16384, -16384}),
         {0.25f, -0.5f},
         16000},
        {wav<float>("RIFF", 3, 1, 22050, 32, "data", {0.5f}), {0.5f}, 22050},
        {wav("RIFX", 1, 1, 16000, 16, "data", tone), {}}, // not RIFF
        {wav("RIFF", 1, 1, 16000, 8, "data", tone), {}},  // 8 bits a sample
        {wav("RIFF", 1, 1, 16000, 16, "junk", tone), {}}, // no data chunk
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes).substr(0, 140));
        std::string error;
        const auto decoded = AudioCompressor::decodeWAV(c.bytes, error);
        EXPECT_EQ(decoded ? decoded->samples : std::vector<float>{}, c.samples) << error;
        EXPECT_EQ(decoded ? decoded->sampleRate : 0, c.rate);
        if (c.samples.empty()) {
            LogCapture log;
            EXPECT_FALSE(AudioCompressor::compressWAVToM4A(c.bytes).has_value());
            const std::string prefix = "⚠️ Audio compression failed, falling back to WAV: ";
            const auto lines = log.matching(prefix);
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_GT(lines[0].size(), prefix.size()) << "the reason is missing";
        }
    }
}

} // namespace
} // namespace skrib::testing
