#include "audio/DictationSession.h"

#include "audio/AudioBuffer16k.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

namespace skrib {
namespace {

std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t u16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::string tag(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}
std::vector<std::int16_t> pcm(const std::vector<std::uint8_t>& wav) {
    std::vector<std::int16_t> out((wav.size() - 44) / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::int16_t>(u16(wav, 44 + 2 * i));
    }
    return out;
}

class WavHeader : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WavHeader, FixedFieldsAndSizesMatchTheSampleCount) {
    const std::size_t n = GetParam();
    DictationSession session;
    session.appendSamples(std::vector<float>(n, 0.25f));
    const auto wav = session.getWAVData();

    ASSERT_EQ(wav.size(), 44 + 2 * n);
    EXPECT_EQ(tag(wav, 0), "RIFF");
    EXPECT_EQ(u32(wav, 4), 2 * n + 36);
    EXPECT_EQ(tag(wav, 8), "WAVE");
    EXPECT_EQ(tag(wav, 12), "fmt ");
    EXPECT_EQ(u32(wav, 16), 16u);
    EXPECT_EQ(u16(wav, 20), 1u);
    EXPECT_EQ(u16(wav, 22), 1u);
    EXPECT_EQ(u32(wav, 24), 16000u);
    EXPECT_EQ(u32(wav, 28), 32000u);
    EXPECT_EQ(u16(wav, 32), 2u);
    EXPECT_EQ(u16(wav, 34), 16u);
    EXPECT_EQ(tag(wav, 36), "data");
    EXPECT_EQ(u32(wav, 40), 2 * n);
    EXPECT_DOUBLE_EQ(session.durationSeconds(), static_cast<double>(n) / 16000.0);
    EXPECT_EQ(session.sampleCount(), static_cast<std::int64_t>(n));
}

INSTANTIATE_TEST_SUITE_P(Counts, WavHeader, ::testing::Values(0, 1, 4, 16000, 65536, 65537));

TEST(WavEncoding, FourSampleExampleIsByteExact) {
    DictationSession session;
    session.appendSamples(std::vector<float>{0.0f, 1.0f, -1.0f, 2.0f});
    const auto wav = session.getWAVData();
    ASSERT_EQ(wav.size(), 52u);
    EXPECT_EQ(u32(wav, 4), 44u);
    EXPECT_EQ(u32(wav, 40), 8u);
    EXPECT_THAT(std::vector<std::uint8_t>(wav.begin() + 44, wav.end()),
                ::testing::ElementsAre(0x00, 0x00, 0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x7F));
}

struct SampleCase {
    float input;
    std::int16_t expected;
};

class WavSample : public ::testing::TestWithParam<SampleCase> {};

TEST_P(WavSample, ConvertsWithClampingAndTruncationTowardsZero) {
    const auto wav = DictationSession::encodeWAV(std::vector<float>{GetParam().input});
    ASSERT_EQ(wav.size(), 46u);
    EXPECT_EQ(pcm(wav)[0], GetParam().expected) << "input " << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WavSample,
    ::testing::Values(SampleCase{0.0f, 0}, SampleCase{-0.0f, 0}, SampleCase{1.0f, 32767},
                      SampleCase{-1.0f, -32767}, SampleCase{2.0f, 32767}, SampleCase{-7.5f, -32767},
                      SampleCase{0.5f, 16383}, SampleCase{-0.5f, -16383},
                      SampleCase{0.99999f, 32766},
                      SampleCase{std::numeric_limits<float>::quiet_NaN(), 0},
                      SampleCase{-std::numeric_limits<float>::quiet_NaN(), 0},
                      SampleCase{std::numeric_limits<float>::infinity(), 32767},
                      SampleCase{-std::numeric_limits<float>::infinity(), -32767},
                      SampleCase{std::numeric_limits<float>::max(), 32767},
                      SampleCase{std::numeric_limits<float>::denorm_min(), 0},
                      // just under one step: truncated, not rounded
                      SampleCase{0.99f / 32767.0f, 0}, SampleCase{-1.99f / 32767.0f, -1},
                      SampleCase{100.6f / 32767.0f, 100}));

TEST(WavEncoding, BlocksOfDifferentLengthsConcatenateAcrossChunkBoundaries) {
    // Lengths chosen to straddle the session's internal chunk size in several ways.
    const std::vector<std::size_t> lengths{1, 1600, 65535, 2, 70000, 0, 131072, 3};
    std::vector<float> all;
    DictationSession session;
    float value = 0.0f;
    for (const std::size_t length : lengths) {
        std::vector<float> block(length);
        for (float& s : block) {
            value += 1.0f / 65536.0f;
            s = std::fmod(value, 2.0f) - 1.0f;
        }
        session.appendSamples(block);
        all.insert(all.end(), block.begin(), block.end());
    }
    EXPECT_EQ(session.samples(), all);
    const auto wav = session.getWAVData();
    EXPECT_EQ(wav, DictationSession::encodeWAV(all));
    EXPECT_EQ(session.getWAVData(), wav) << "a second read must give identical bytes";
}

TEST(WavEncoding, AppendsOnTheCaptureThreadWhileTheMainThreadReads) {
    // The reader must always see a whole prefix of what was appended: sizes consistent with
    // the header, and samples in the order they were appended.
    DictationSession session;
    constexpr int blocks = 400;
    constexpr int blockSize = 1600; // 400 blocks span several storage chunks
    std::atomic<bool> done{false};
    std::thread capture([&] {
        std::vector<float> block(blockSize);
        for (int b = 0; b < blocks; ++b) {
            for (int i = 0; i < blockSize; ++i) {
                block[static_cast<std::size_t>(i)] =
                    static_cast<float>((b * blockSize + i) % 30000) / 32767.0f;
            }
            session.appendSamples(block);
        }
        done = true;
    });
    int reads = 0;
    while (!done || reads == 0) {
        const auto wav = session.getWAVData();
        ASSERT_EQ(u32(wav, 40), wav.size() - 44);
        const auto values = pcm(wav);
        for (std::size_t i = 0; i < values.size(); ++i) {
            ASSERT_EQ(values[i], static_cast<std::int16_t>(i % 30000)) << "at " << i;
        }
        ++reads;
    }
    capture.join();
    EXPECT_EQ(session.sampleCount(), blocks * blockSize);
    EXPECT_DOUBLE_EQ(session.durationSeconds(), blocks * blockSize / 16000.0);
}

TEST(DictationSession, EachSessionHasItsOwnId) {
    DictationSession a;
    DictationSession b;
    EXPECT_NE(a.id(), b.id());
    EXPECT_EQ(a.id(), a.id());
}

struct RmsCase {
    std::vector<float> samples;
    float expected;
};

class RmsLevel : public ::testing::TestWithParam<RmsCase> {};

TEST_P(RmsLevel, IsRootOfMeanSquare) {
    const AudioBuffer16k buffer(GetParam().samples, 16000, std::chrono::system_clock::now());
    EXPECT_FLOAT_EQ(buffer.rmsLevel(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RmsLevel,
                         ::testing::Values(RmsCase{{}, 0.0f}, RmsCase{{0.5f, -0.5f}, 0.5f},
                                           RmsCase{std::vector<float>(1600, 0.0f), 0.0f},
                                           RmsCase{{1.0f}, 1.0f},
                                           RmsCase{{0.6f, 0.8f, 0.0f, 0.0f}, 0.5f},
                                           RmsCase{{3.0f, 4.0f}, std::sqrt(12.5f)}));

} // namespace
} // namespace skrib
