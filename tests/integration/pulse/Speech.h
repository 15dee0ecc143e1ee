#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace skrib::testing {

/// Spoken words for capture tests: flite's voice converted by sox, as interleaved signed
/// 16-bit samples (the format the test microphones take).
struct Speech {
    unsigned rate = 0;
    unsigned channels = 0;
    std::vector<std::int16_t> samples;

    /// Says `text` at `rate` and `channels`, making the files in `folder`. In stereo the right
    /// channel has half the left's level, so a swapped or mixed-down channel shows. None when
    /// flite or sox fails.
    static std::optional<Speech> make(const std::string& folder, const std::string& text,
                                      unsigned rate, unsigned channels);

    std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
    double seconds() const { return rate == 0 ? 0 : static_cast<double>(frames()) / rate; }
    /// Appends silence.
    void appendSilence(double seconds);
    /// The root mean square of one channel as float samples (s16 / 32768), over `frames` frames.
    double rms(unsigned channel, std::size_t frames) const;
};

/// The root mean square of one channel of interleaved float samples, over `frames` frames
/// (frames beyond the samples count as silence).
double rms(const std::vector<float>& interleaved, unsigned channels, unsigned channel,
           std::size_t frames);

} // namespace skrib::testing
