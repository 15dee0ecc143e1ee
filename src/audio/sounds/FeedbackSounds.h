#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace skrib {

/// The program's three feedback sounds, synthesised: "Blow" (recording starts: a soft rising
/// breath), "Glass" (recording stops: a short bright chime) and "Basso" (something failed: a low
/// muted knock). The build renders them into resources/sounds as WAV files.
class FeedbackSounds {
public:
    static constexpr int sampleRate = 44100;
    static constexpr const char* names[] = {"Blow", "Glass", "Basso"};

    /// The samples of the named sound, mono, within [-1, 1]; empty for an unknown name. The
    /// same name always gives the same samples.
    static std::vector<float> synthesize(std::string_view name);
    /// A 16-bit PCM mono WAV file of `samples` at `rate`.
    static std::vector<std::uint8_t> encodeWAV(const std::vector<float>& samples, int rate);
};

} // namespace skrib
