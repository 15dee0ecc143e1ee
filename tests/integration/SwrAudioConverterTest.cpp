#include "audio/ffmpeg/SwrAudioConverter.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

namespace skrib {
namespace {

const AudioFormat target{16000, 1, SampleType::float32, false};

// Interleaved test tone: channel c carries amplitude[c] * sin(2π·440·t).
struct Tone {
    AudioFormat format;
    std::vector<double> amplitude;
};

// Feeds one second of the tone in 100 ms buffers and collects what comes out.
std::vector<float> convertOneSecond(AudioConverter& converter, const Tone& tone) {
    const auto frames = static_cast<std::uint32_t>(tone.format.sampleRate * 0.1);
    const std::uint32_t channels = tone.format.channelCount;
    std::vector<float> out;
    std::size_t frameIndex = 0;
    for (int block = 0; block < 10; ++block) {
        std::vector<float> floats(static_cast<std::size_t>(frames) * channels);
        std::vector<std::int16_t> shorts(floats.size());
        for (std::uint32_t f = 0; f < frames; ++f, ++frameIndex) {
            const double t = static_cast<double>(frameIndex) / tone.format.sampleRate;
            for (std::uint32_t c = 0; c < channels; ++c) {
                const double v = tone.amplitude[c] * std::sin(2 * std::numbers::pi * 440 * t);
                floats[f * channels + c] = static_cast<float>(v);
                shorts[f * channels + c] = static_cast<std::int16_t>(v * 32767);
            }
        }
        const bool int16 = tone.format.sampleType == SampleType::int16;
        const AudioTapBuffer buffer{
            tone.format, frames, {int16 ? static_cast<const void*>(shorts.data()) : floats.data()}};
        const auto capacity =
            static_cast<std::uint32_t>(frames * 16000.0 / tone.format.sampleRate) + 100;
        const auto converted = converter.convert(buffer, capacity);
        EXPECT_TRUE(converted.has_value());
        EXPECT_LE(converted->size(), capacity);
        out.insert(out.end(), converted->begin(), converted->end());
    }
    return out;
}

class SwrConversion : public ::testing::TestWithParam<Tone> {};

// One second in, one second out (less what the filter still holds), at the tone's level: a sine's
// RMS is its amplitude over √2, the channels averaged.
TEST_P(SwrConversion, ResamplesToSixteenKilohertzMonoKeepingTheLevel) {
    const Tone& tone = GetParam();
    auto converter = SwrAudioConverterFactory().create(tone.format, target);
    ASSERT_NE(converter, nullptr);
    const auto out = convertOneSecond(*converter, tone);
    double level = 0, sum = 0;
    for (const double a : tone.amplitude) {
        level += a / std::sqrt(2.0) / static_cast<double>(tone.amplitude.size());
    }
    for (std::size_t i = 200; i < out.size(); ++i) { // past the filter's start
        sum += static_cast<double>(out[i]) * out[i];
    }
    EXPECT_NEAR(static_cast<double>(out.size()), 16000.0, 100.0);
    EXPECT_NEAR(std::sqrt(sum / static_cast<double>(out.size() - 200)), level, level * 0.02);
}

INSTANTIATE_TEST_SUITE_P(Cases, SwrConversion,
                         ::testing::Values(Tone{{48000, 2, SampleType::float32, true}, {0.5, 0.5}},
                                           Tone{{48000, 2, SampleType::float32, true}, {0.5, 0.0}},
                                           Tone{{44100, 1, SampleType::int16, true}, {0.8}},
                                           Tone{{16000, 2, SampleType::float32, true}, {0.3, 0.3}},
                                           Tone{{16000, 1, SampleType::int16, true}, {0.6}}));

TEST(SwrConversionLimits, RefusesWhatItCannotConvertAndNeverOverrunsTheCapacity) {
    SwrAudioConverterFactory factory;
    EXPECT_EQ(factory.create({0, 2, SampleType::float32, true}, target), nullptr);
    EXPECT_EQ(factory.create({48000, 0, SampleType::float32, true}, target), nullptr);
    EXPECT_EQ(factory.create({48000, 2, SampleType::other, true}, target), nullptr);
    auto converter = factory.create({48000, 1, SampleType::float32, true}, target);
    ASSERT_NE(converter, nullptr);
    std::vector<float> input(48000, 0.5f);
    AudioTapBuffer buffer{{48000, 1, SampleType::float32, true}, 48000, {}};
    EXPECT_FALSE(converter->convert(buffer, 1700).has_value()) << "no channel data";
    buffer.channelData = {input.data()};
    const auto out = converter->convert(buffer, 100);
    ASSERT_TRUE(out.has_value());
    EXPECT_LE(out->size(), 100u);
}

} // namespace
} // namespace skrib
