#include "audio/DictationSession.h"

#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

namespace skrib {
namespace {

std::vector<std::uint16_t> words(const std::vector<std::uint8_t>& wav) {
    std::vector<std::uint16_t> out(wav.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint16_t>(wav[2 * i] | (wav[2 * i + 1] << 8));
    }
    return out;
}

TEST(DictationSession, EncodesA16kMono16BitWavClampingAndTruncatingTowardsZero) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    DictationSession session;
    session.appendSamples(
        std::vector{0.0f, 1.0f, -1.0f, 2.0f, -7.5f, 0.5f, -0.5f, 0.99999f, nan, -nan});
    session.appendSamples(std::vector{inf, -inf, std::numeric_limits<float>::denorm_min(),
                                      0.99f / 32767.0f, -1.99f / 32767.0f, 100.6f / 32767.0f});
    EXPECT_DOUBLE_EQ(session.durationSeconds(), 16 / 16000.0);
    EXPECT_THAT(words(session.getWAVData()),
                ::testing::ElementsAre(
                    'R' | 'I' << 8, 'F' | 'F' << 8, 36 + 32, 0, 'W' | 'A' << 8, 'V' | 'E' << 8,
                    'f' | 'm' << 8, 't' | ' ' << 8, 16, 0, 1, 1, 16000, 0, 32000, 0, 2, 16,
                    'd' | 'a' << 8, 't' | 'a' << 8, 32, 0, // samples from here
                    0, 32767, 0x10000 - 32767, 32767, 0x10000 - 32767, 16383, 0x10000 - 16383,
                    32766, 0, 0, 32767, 0x10000 - 32767, 0, 0, 0xFFFF, 100));
}

// Blocks span several of the session's storage chunks, and the reader must always see a whole
// prefix of what was appended, in order, with a header that matches it.
TEST(DictationSession, AReaderOnTheMainThreadAlwaysSeesAWholePrefix) {
    DictationSession session;
    constexpr int blocks = 400, blockSize = 1601;
    std::atomic<bool> done{false};
    std::thread capture([&] {
        std::vector<float> block(blockSize);
        for (int b = 0; b < blocks; ++b) {
            for (int i = 0; i < blockSize; ++i) {
                block[static_cast<std::size_t>(i)] = ((b * blockSize + i) % 30000) / 32767.0f;
            }
            session.appendSamples(block);
        }
        done = true;
    });
    for (int reads = 0; !done || reads == 0; ++reads) {
        const auto w = words(session.getWAVData());
        ASSERT_EQ(static_cast<std::size_t>(w[20] | w[21] << 16), (w.size() - 22) * 2);
        for (std::size_t i = 22; i < w.size(); ++i) {
            ASSERT_EQ(static_cast<std::size_t>(w[i]), (i - 22) % 30000) << "at " << i;
        }
    }
    capture.join();
    EXPECT_EQ(session.sampleCount(), blocks * blockSize);
}

} // namespace
} // namespace skrib
