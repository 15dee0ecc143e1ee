#include "audio/sounds/FeedbackSounds.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace skrib {
namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;

std::vector<float> silence(double seconds) {
    return std::vector<float>(static_cast<std::size_t>(seconds * FeedbackSounds::sampleRate), 0.0F);
}

// Raised-cosine fade over the first and last `seconds`, so no sound starts or ends with a click.
void fadeEdges(std::vector<float>& samples, double seconds) {
    const auto length = std::min(samples.size() / 2,
                                 static_cast<std::size_t>(seconds * FeedbackSounds::sampleRate));
    for (std::size_t i = 0; i < length; ++i) {
        const auto gain =
            static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) /
                                                    static_cast<double>(length)));
        samples[i] *= gain;
        samples[samples.size() - 1 - i] *= gain;
    }
}

void normalize(std::vector<float>& samples, float peak) {
    float highest = 0.0F;
    for (const float s : samples) {
        highest = std::max(highest, std::abs(s));
    }
    if (highest > 0.0F) {
        for (float& s : samples) {
            s *= peak / highest;
        }
    }
}

// Filtered noise that swells and fades, with a faint rising tone under it.
std::vector<float> blow() {
    auto samples = silence(0.32);
    std::uint32_t seed = 0x2545F491;
    double lowpass = 0.0;
    const double n = static_cast<double>(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        seed = seed * 1664525U + 1013904223U; // a fixed generator: the file is the same each build
        const double noise = static_cast<double>(seed >> 8) / static_cast<double>(1U << 24) - 0.5;
        const double t = static_cast<double>(i) / n;
        lowpass += (0.02 + 0.08 * t) * (noise - lowpass); // opens up as the breath rises
        const double envelope = std::sin(std::numbers::pi * std::pow(t, 0.7));
        const double seconds = static_cast<double>(i) / FeedbackSounds::sampleRate;
        const double tone = 0.25 * std::sin(twoPi * (440.0 * seconds + 300.0 * seconds * seconds));
        samples[i] = static_cast<float>(envelope * (lowpass * 6.0 + tone * t));
    }
    fadeEdges(samples, 0.01);
    normalize(samples, 0.5F);
    return samples;
}

// A struck glass: inharmonic partials, each decaying at its own rate.
std::vector<float> glass() {
    auto samples = silence(0.55);
    struct Partial {
        double ratio, gain, decay;
    };
    constexpr Partial partials[] = {{1.0, 1.0, 7.0}, {2.76, 0.45, 11.0}, {5.40, 0.22, 17.0},
                                    {8.93, 0.10, 25.0}};
    constexpr double base = 1318.5; // E6
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / FeedbackSounds::sampleRate;
        double value = 0.0;
        for (const auto& p : partials) {
            value += p.gain * std::exp(-p.decay * t) * std::sin(twoPi * base * p.ratio * t);
        }
        const double attack = std::min(1.0, t / 0.002);
        samples[i] = static_cast<float>(attack * value);
    }
    fadeEdges(samples, 0.02);
    normalize(samples, 0.45F);
    return samples;
}

// Two quick low knocks, the second a little quieter.
std::vector<float> basso() {
    auto samples = silence(0.42);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / FeedbackSounds::sampleRate;
        double value = 0.0;
        for (const auto& [start, gain] : {std::pair{0.0, 1.0}, std::pair{0.16, 0.7}}) {
            const double local = t - start;
            if (local < 0.0) {
                continue;
            }
            const double envelope = std::min(1.0, local / 0.004) * std::exp(-14.0 * local);
            const double pitch = 98.0 * (1.0 + 0.15 * std::exp(-30.0 * local)); // thump drops
            value += gain * envelope *
                     (std::sin(twoPi * pitch * local) + 0.35 * std::sin(twoPi * 2 * pitch * local) +
                      0.12 * std::sin(twoPi * 3 * pitch * local));
        }
        samples[i] = static_cast<float>(value);
    }
    fadeEdges(samples, 0.01);
    normalize(samples, 0.6F);
    return samples;
}

// Writes `value` little-endian into `bytes` bytes at `at`.
void putLE(std::uint8_t* at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

} // namespace

std::vector<float> FeedbackSounds::synthesize(std::string_view name) {
    if (name == "Blow") {
        return blow();
    }
    if (name == "Glass") {
        return glass();
    }
    if (name == "Basso") {
        return basso();
    }
    return {};
}

std::vector<std::uint8_t> FeedbackSounds::encodeWAV(const std::vector<float>& samples, int rate) {
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::vector<std::uint8_t> out(44 + dataBytes);
    std::uint8_t* p = out.data();
    std::memcpy(p, "RIFF", 4);
    putLE(p + 4, 36 + dataBytes, 4);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    putLE(p + 16, 16, 4);
    putLE(p + 20, 1, 2); // PCM
    putLE(p + 22, 1, 2); // mono
    putLE(p + 24, static_cast<std::uint32_t>(rate), 4);
    putLE(p + 28, static_cast<std::uint32_t>(rate) * 2, 4);
    putLE(p + 32, 2, 2);
    putLE(p + 34, 16, 2);
    std::memcpy(p + 36, "data", 4);
    putLE(p + 40, dataBytes, 4);
    p += 44;
    for (const float s : samples) {
        const auto value =
            static_cast<std::int16_t>(std::lround(std::clamp(s, -1.0F, 1.0F) * 32767.0F));
        putLE(p, static_cast<std::uint16_t>(value), 2);
        p += 2;
    }
    return out;
}

} // namespace skrib
