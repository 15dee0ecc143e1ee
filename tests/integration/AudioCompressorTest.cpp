// AAC compression with the real FFmpeg libraries, checked with ffprobe.

#include "audio/ffmpeg/AudioCompressor.h"

#include "LogCapture.h"
#include "audio/DictationSession.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iterator>
#include <nlohmann/json.hpp>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    std::array<char, 4096> buffer{};
    while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
        out.append(buffer.data(), n);
    }
    ::pclose(pipe);
    return out;
}

std::vector<std::uint8_t> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Compressor : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skrib-aac-XXXXXX";
        dir = ::mkdtemp(pattern);
        scratch = dir / "tmp";
        fs::create_directories(scratch);
        ::setenv("TMPDIR", scratch.c_str(), 1); // nothing may be left there
    }
    void TearDown() override {
        EXPECT_TRUE(fs::is_empty(scratch)) << "the compressor left a file behind";
        ::unsetenv("TMPDIR");
        fs::remove_all(dir);
    }
    // A dictation-format WAV (16 kHz mono 16-bit) of `seconds` of flite speech.
    std::vector<std::uint8_t> speechWAV(double seconds) {
        const fs::path raw = dir / "speech.wav";
        const fs::path out = dir / "speech16k.wav";
        const std::string text =
            "Please schedule the quarterly review for Thursday afternoon and invite the whole "
            "design team. Remember to bring the updated numbers and the new roadmap.";
        run("flite -voice rms -t '" + text + "' -o " + raw.string());
        run("sox " + raw.string() + " -r 16000 -c 1 -b 16 -e signed " + out.string() + " pad 0 " +
            std::to_string(seconds) + " trim 0 " + std::to_string(seconds));
        return readBytes(out);
    }
    nlohmann::json probe(const std::vector<std::uint8_t>& m4a) {
        const fs::path file = dir / "out.m4a";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(m4a.data()),
                   static_cast<std::streamsize>(m4a.size()));
        return nlohmann::json::parse(
            run("ffprobe -v error -show_streams -show_format -of json " + file.string()), nullptr,
            false);
    }

    LogCapture log;
    fs::path dir, scratch;
};

TEST_F(Compressor, TenSecondsOfSpeechBecomeASmallM4AThatFfprobeReads) {
    const auto wav = speechWAV(10.0);
    ASSERT_EQ(wav.size(), 44u + 320000u) << "test input is 10 s of 16 kHz mono";
    const auto m4a = AudioCompressor::compressWAVToM4A(wav);
    ASSERT_TRUE(m4a.has_value()) << ::testing::PrintToString(log.messages());
    EXPECT_LT(m4a->size() * 5, wav.size()) << m4a->size() << " bytes";
    const auto info = probe(*m4a);
    ASSERT_TRUE(info.is_object());
    ASSERT_EQ(info["streams"].size(), 1u);
    const auto& stream = info["streams"][0];
    EXPECT_EQ(stream["codec_name"], "aac");
    EXPECT_EQ(stream["sample_rate"], "16000");
    EXPECT_EQ(stream["channels"], 1);
    EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), 10.0, 0.1);
    EXPECT_THAT(info["format"]["format_name"].get<std::string>(), ::testing::HasSubstr("m4a"));
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(Compressor, TheProgramsOwnWavOfAnyLengthRoundTripsInDuration) {
    for (const double seconds : {0.3, 1.0, 61.7}) {
        DictationSession session;
        std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = 0.4f * std::sin(static_cast<float>(i) * 0.07f) *
                         std::sin(static_cast<float>(i) * 0.0003f);
        }
        session.appendSamples(samples);
        const auto m4a = AudioCompressor::compressWAVToM4A(session.getWAVData());
        ASSERT_TRUE(m4a.has_value()) << seconds;
        const auto info = probe(*m4a);
        EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), seconds, 0.1)
            << seconds;
    }
}

TEST_F(Compressor, AnEmptyRecordingGivesNothingAndLogsNothing) {
    DictationSession empty;
    EXPECT_FALSE(AudioCompressor::compressWAVToM4A(empty.getWAVData()).has_value());
    EXPECT_TRUE(log.messages().empty());
}

struct BadInput {
    const char* name;
    std::vector<std::uint8_t> bytes;
};

class CompressorBadInput : public Compressor, public ::testing::WithParamInterface<BadInput> {};

TEST_P(CompressorBadInput, GivesNothingAndSaysWhy) {
    EXPECT_FALSE(AudioCompressor::compressWAVToM4A(GetParam().bytes).has_value());
    const auto lines = log.matching("⚠️ Audio compression failed, falling back to WAV: ");
    ASSERT_EQ(lines.size(), 1u) << GetParam().name;
    EXPECT_GT(lines[0].size(),
              std::string("⚠️ Audio compression failed, falling back to WAV: ").size());
}

std::vector<std::uint8_t> header(const char* format, std::uint16_t tag, std::uint16_t channels,
                                 std::uint32_t rate, std::uint16_t bits, bool withData) {
    std::vector<std::uint8_t> b(44, 0);
    std::memcpy(b.data(), format, 4);
    std::memcpy(b.data() + 8, "WAVEfmt ", 8);
    b[16] = 16;
    b[20] = static_cast<std::uint8_t>(tag);
    b[22] = static_cast<std::uint8_t>(channels);
    std::memcpy(b.data() + 24, &rate, 4);
    b[34] = static_cast<std::uint8_t>(bits);
    std::memcpy(b.data() + 36, withData ? "data" : "junk", 4);
    b.resize(44 + 3200, 0x10);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompressorBadInput,
    ::testing::Values(BadInput{"text", {'h', 'e', 'l', 'l', 'o'}}, BadInput{"empty", {}},
                      BadInput{"notRiff", header("RIFX", 1, 1, 16000, 16, true)},
                      BadInput{"eightBit", header("RIFF", 1, 1, 16000, 8, true)},
                      BadInput{"compressedFormat", header("RIFF", 2, 1, 16000, 16, true)},
                      BadInput{"zeroRate", header("RIFF", 1, 1, 0, 16, true)},
                      BadInput{"noDataChunk", header("RIFF", 1, 1, 16000, 16, false)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Compressor, StereoAndFloatWavsAreMixedToMono) {
    std::string error;
    auto stereo = header("RIFF", 1, 2, 16000, 16, true);
    stereo.resize(44 + 8);
    const std::int16_t frames[4] = {16384, 0, -16384, -16384};
    std::memcpy(stereo.data() + 44, frames, 8);
    stereo[40] = 8;
    const auto decoded = AudioCompressor::decodeWAV(stereo, error);
    ASSERT_TRUE(decoded.has_value()) << error;
    EXPECT_THAT(decoded->samples, ::testing::ElementsAre(0.25f, -0.5f));
    auto floats = header("RIFF", 3, 1, 22050, 32, true);
    floats.resize(44 + 4);
    const float half = 0.5f;
    std::memcpy(floats.data() + 44, &half, 4);
    floats[40] = 4;
    const auto f = AudioCompressor::decodeWAV(floats, error);
    ASSERT_TRUE(f.has_value()) << error;
    EXPECT_EQ(f->sampleRate, 22050);
    EXPECT_THAT(f->samples, ::testing::ElementsAre(0.5f));
}

} // namespace
} // namespace skrib::testing
