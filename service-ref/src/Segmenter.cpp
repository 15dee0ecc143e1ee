#include "Segmenter.h"

#include "AudioDecoder.h"

#include <algorithm>
#include <cmath>

namespace skrib::service {
namespace {

constexpr std::size_t frameSamples = recognitionSampleRate / 100; // 10 ms
constexpr std::size_t pauseFrames = 25;                           // 250 ms
constexpr std::size_t marginFrames = 10;                          // kept either side of speech
constexpr std::size_t smoothingFrames = 5;                        // 50 ms
// Below this (an RMS of about 3) a recording holds nothing to recognise.
constexpr float silentLevelDb = 10;
// Loud and quiet frames this far apart tell speech from background; a frame counts as silent
// below a quarter of the way from the quiet level to the loud one.
constexpr float contrastDb = 20;
constexpr float silentShare = 0.25f;

// The energy of each 10 ms frame in dB over one unit squared (0 for digital silence).
std::vector<float> frameLevels(std::span<const std::int16_t> samples) {
    std::vector<float> levels;
    levels.reserve(samples.size() / frameSamples + 1);
    for (std::size_t begin = 0; begin < samples.size(); begin += frameSamples) {
        const auto frame = samples.subspan(begin, std::min(frameSamples, samples.size() - begin));
        double sum = 0;
        for (const std::int16_t s : frame) {
            sum += static_cast<double>(s) * s;
        }
        levels.push_back(static_cast<float>(10 * std::log10(sum / frame.size() + 1)));
    }
    return levels;
}

float percentile(std::vector<float> levels, std::size_t percent) {
    const auto at = levels.begin() + static_cast<std::ptrdiff_t>(levels.size() * percent / 100);
    std::nth_element(levels.begin(), at, levels.end());
    return *at;
}

// Frames [begin, end).
struct FrameRange {
    std::size_t begin;
    std::size_t end;
};

// The frame in [lo, hi] to cut at: the middle of the longest silent run there, else the middle
// of the quietest 50 ms (of equally quiet ones, the nearest to `place`).
std::size_t quietestFrame(const std::vector<float>& levels, const std::vector<bool>& silent,
                          std::size_t lo, std::size_t hi, std::size_t place) {
    std::size_t bestRun = 0;
    std::size_t cut = lo;
    for (std::size_t f = lo; f <= hi;) {
        if (!silent[f]) {
            ++f;
            continue;
        }
        std::size_t end = f;
        while (end <= hi && silent[end]) {
            ++end;
        }
        if (end - f > bestRun) {
            bestRun = end - f;
            cut = f + (end - f) / 2;
        }
        f = end;
    }
    if (bestRun > 0) {
        return cut;
    }
    float quietest = 0;
    for (std::size_t f = lo; f <= hi; ++f) {
        const std::size_t from = f >= smoothingFrames / 2 ? f - smoothingFrames / 2 : 0;
        const std::size_t to = std::min(levels.size(), f + smoothingFrames / 2 + 1);
        float sum = 0;
        for (std::size_t g = from; g < to; ++g) {
            sum += levels[g];
        }
        const float level = sum / static_cast<float>(to - from);
        const auto distance = [place](std::size_t g) { return g > place ? g - place : place - g; };
        if (f == lo || level < quietest || (level == quietest && distance(f) < distance(cut))) {
            quietest = level;
            cut = f;
        }
    }
    return cut;
}

} // namespace

std::vector<AudioSpan> splitAtPauses(std::span<const std::int16_t> samples,
                                     std::size_t maxSamples) {
    const std::vector<float> levels = frameLevels(samples);
    const std::size_t frames = levels.size();
    if (frames == 0) {
        return {};
    }
    const float quiet = percentile(levels, 5);
    const float loud = percentile(levels, 95);
    if (loud < silentLevelDb) {
        return {};
    }
    std::vector<bool> silent(frames, false);
    if (loud - quiet >= contrastDb) {
        const float threshold = quiet + silentShare * (loud - quiet);
        for (std::size_t f = 0; f < frames; ++f) {
            silent[f] = levels[f] < threshold;
        }
    }

    // Speech between pauses; silence at either end of the recording counts as a pause.
    std::vector<FrameRange> speech;
    for (std::size_t f = 0; f < frames;) {
        std::size_t end = f;
        while (end < frames && silent[end] == silent[f]) {
            ++end;
        }
        const bool pause = silent[f] && (end - f >= pauseFrames || f == 0 || end == frames);
        if (!pause) {
            if (!speech.empty() && speech.back().end == f) {
                speech.back().end = end; // a short gap stays inside the speech
            } else {
                speech.push_back({f, end});
            }
        }
        f = end;
    }

    const std::size_t maxFrames = std::max<std::size_t>(1, maxSamples / frameSamples);
    std::vector<AudioSpan> spans;
    auto add = [&](std::size_t begin, std::size_t end) {
        spans.push_back({begin * frameSamples, std::min(end * frameSamples, samples.size())});
    };
    for (const FrameRange& range : speech) {
        const std::size_t begin = range.begin > marginFrames ? range.begin - marginFrames : 0;
        const std::size_t end = std::min(frames, range.end + marginFrames);
        const std::size_t length = end - begin;
        const std::size_t pieces = (length + maxFrames - 1) / maxFrames;
        std::size_t from = begin;
        for (std::size_t i = 1; i < pieces; ++i) {
            // Each cut stays within a quarter of a piece of its even place.
            const std::size_t place = begin + length * i / pieces;
            const std::size_t reach = std::max<std::size_t>(1, length / (4 * pieces));
            const std::size_t lo = std::max(from + 1, place - reach);
            const std::size_t hi = std::min(end - 1, place + reach);
            const std::size_t cut = quietestFrame(levels, silent, lo, hi, place);
            add(from, cut);
            from = cut;
        }
        add(from, end);
    }
    return spans;
}

} // namespace skrib::service
