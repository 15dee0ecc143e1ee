#include "audio/sounds/FeedbackSounds.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace skrib {
namespace {

// Sign changes per second: a rough pitch that tells a chime from a knock.
double crossingsPerSecond(const std::vector<float>& samples) {
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if ((samples[i - 1] < 0.0F) != (samples[i] < 0.0F)) {
            ++crossings;
        }
    }
    return crossings * static_cast<double>(FeedbackSounds::sampleRate) /
           static_cast<double>(samples.size());
}

struct SoundCase {
    const char* name;
    double minPitch;
    double maxPitch;
};

class FeedbackSoundTest : public ::testing::TestWithParam<SoundCase> {};

TEST_P(FeedbackSoundTest, IsShortAudibleClickFreeAndInCharacter) {
    const auto& c = GetParam();
    const auto samples = FeedbackSounds::synthesize(c.name);
    const double seconds = static_cast<double>(samples.size()) / FeedbackSounds::sampleRate;
    EXPECT_GT(seconds, 0.2);
    EXPECT_LT(seconds, 0.8);

    float peak = 0.0F;
    for (const float s : samples) {
        peak = std::max(peak, std::abs(s));
    }
    EXPECT_GT(peak, 0.3F);
    EXPECT_LE(peak, 0.7F); // leaves headroom: feedback must not be louder than the user's audio
    EXPECT_LT(std::abs(samples.front()), 0.01F);
    EXPECT_LT(std::abs(samples.back()), 0.01F);

    const double pitch = crossingsPerSecond(samples);
    EXPECT_GT(pitch, c.minPitch);
    EXPECT_LT(pitch, c.maxPitch);
    EXPECT_EQ(samples, FeedbackSounds::synthesize(c.name)); // the same file on every build
}

INSTANTIATE_TEST_SUITE_P(Sounds, FeedbackSoundTest,
                         ::testing::Values(SoundCase{"Blow", 300, 6000},
                                           SoundCase{"Glass", 2000, 8000},
                                           SoundCase{"Basso", 100, 400}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FeedbackSounds, UnknownNamesHaveNoSamples) {
    for (const char* name : {"", "blow", "Ping", "Glass "}) {
        EXPECT_TRUE(FeedbackSounds::synthesize(name).empty()) << name;
    }
}

TEST(FeedbackSounds, WAVHeaderDescribesTheSamples) {
    const std::vector<float> samples{0.0F, 1.0F, -1.0F, 2.0F, 0.5F};
    const auto wav = FeedbackSounds::encodeWAV(samples, 44100);
    ASSERT_EQ(wav.size(), 44U + 10U);
    const auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        std::memcpy(&v, wav.data() + at, 4);
        return v;
    };
    const auto i16 = [&](std::size_t at) {
        std::int16_t v = 0;
        std::memcpy(&v, wav.data() + at, 2);
        return v;
    };
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(u32(4), 46U);
    EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(u32(24), 44100U);
    EXPECT_EQ(u32(28), 88200U);
    EXPECT_EQ(u32(40), 10U);
    EXPECT_EQ(i16(44), 0);
    EXPECT_EQ(i16(46), 32767);
    EXPECT_EQ(i16(48), -32767);
    EXPECT_EQ(i16(50), 32767); // out of range is clipped, not wrapped
    EXPECT_EQ(i16(52), 16384);
}

} // namespace
} // namespace skrib
