// AAC compression with the real FFmpeg libraries, read back by ffprobe.

#include "audio/ffmpeg/AudioCompressor.h"

#include "LogCapture.h"
#include "audio/DictationSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;

class Compressor : public ::testing::TestWithParam<double> {
protected:
    void SetUp() override { ::setenv("TMPDIR", scratch.c_str(), 1); }
    void TearDown() override {
        EXPECT_TRUE(fs::is_empty(scratch)) << "the compressor left a file behind";
        ::unsetenv("TMPDIR");
        fs::remove_all(dir);
    }
    nlohmann::json probe(const std::vector<std::uint8_t>& m4a) {
        const fs::path file = dir / "out.m4a";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(m4a.data()),
                   static_cast<std::streamsize>(m4a.size()));
        std::string out;
        FILE* pipe = ::popen(("ffprobe -v error -show_streams -show_format -of json " +
                              file.string()).c_str(), "r");
        char buffer[4096];
        while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
        return nlohmann::json::parse(out, nullptr, false);
    }

    LogCapture log;
    fs::path dir = [] {
        char pattern[] = "/tmp/skrib-aac-XXXXXX";
        return fs::path(::mkdtemp(pattern));
    }();
    fs::path scratch = [this] {
        fs::create_directories(dir / "tmp");
        return dir / "tmp";
    }();
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
    const auto wav = session.getWAVData();
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
std::vector<std::uint8_t> wav(const char* riff, std::uint16_t tag, std::uint16_t channels,
                              std::uint32_t rate, std::uint16_t bits, const char* chunk,
                              std::vector<std::uint8_t> data) {
    std::vector<std::uint8_t> b(44 + data.size(), 0);
    std::copy(data.begin(), data.end(), b.begin() + 44);
    std::memcpy(b.data(), riff, 4);
    std::memcpy(b.data() + 8, "WAVEfmt ", 8);
    b[16] = 16;
    b[20] = static_cast<std::uint8_t>(tag);
    b[22] = static_cast<std::uint8_t>(channels);
    std::memcpy(b.data() + 24, &rate, 4);
    b[34] = static_cast<std::uint8_t>(bits);
    std::memcpy(b.data() + 36, chunk, 4);
    const auto size = static_cast<std::uint32_t>(data.size());
    std::memcpy(b.data() + 40, &size, 4);
    return b;
}

template <typename T>
std::vector<std::uint8_t> bytes(std::vector<T> values) {
    std::vector<std::uint8_t> b(values.size() * sizeof(T));
    std::memcpy(b.data(), values.data(), b.size());
    return b;
}

struct WavCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::vector<float> samples = {}; // mixed to mono; empty: refused
    int rate = 0;
};

void PrintTo(const WavCase& c, std::ostream* out) { *out << c.name; }

class WavInput : public ::testing::TestWithParam<WavCase> {};

TEST_P(WavInput, DecodesToMonoOrIsRefusedWithAReason) {
    const WavCase& c = GetParam();
    std::string error;
    const auto decoded = AudioCompressor::decodeWAV(c.bytes, error);
    if (!c.samples.empty()) {
        ASSERT_TRUE(decoded.has_value()) << error;
        EXPECT_EQ(decoded->samples, c.samples);
        EXPECT_EQ(decoded->sampleRate, c.rate);
        return;
    }
    EXPECT_FALSE(decoded.has_value());
    LogCapture log;
    EXPECT_FALSE(AudioCompressor::compressWAVToM4A(c.bytes).has_value());
    const std::string prefix = "⚠️ Audio compression failed, falling back to WAV: ";
    const auto lines = log.matching(prefix);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_GT(lines[0].size(), prefix.size()) << "the reason is missing";
}

const auto tone = bytes<std::int16_t>(std::vector<std::int16_t>(1600, 3000));

INSTANTIATE_TEST_SUITE_P(
    Cases, WavInput,
    ::testing::Values(
        WavCase{"StereoMixedToMono",
                wav("RIFF", 1, 2, 16000, 16, "data", bytes<std::int16_t>({16384, 0, -16384, -16384})),
                {0.25f, -0.5f}, 16000},
        WavCase{"Float", wav("RIFF", 3, 1, 22050, 32, "data", bytes<float>({0.5f})), {0.5f}, 22050},
        WavCase{"NotRiff", wav("RIFX", 1, 1, 16000, 16, "data", tone)},
        WavCase{"EightBit", wav("RIFF", 1, 1, 16000, 8, "data", tone)},
        WavCase{"NoDataChunk", wav("RIFF", 1, 1, 16000, 16, "junk", tone)}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace skrib::testing
