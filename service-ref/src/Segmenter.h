#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace skrib::service {

/// A stretch of a recording: samples [begin, end).
struct AudioSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t size() const { return end - begin; }
    bool operator==(const AudioSpan&) const = default;
};

/// Splits 16 kHz mono audio into stretches that can be recognised one by one, in order. Pauses
/// (a quarter of a second or more of frames well below the recording's loud frames) separate
/// stretches and are left out but for a tenth of a second on either side of the speech; audio
/// that is silent throughout gives no stretch. A stretch longer than `maxSamples` is cut into
/// near-equal pieces, each cut at the quietest point near its place (the middle of the longest
/// silent gap there, else the quietest 50 ms), so that no piece is much over `maxSamples`.
std::vector<AudioSpan> splitAtPauses(std::span<const std::int16_t> samples, std::size_t maxSamples);

} // namespace skrib::service
