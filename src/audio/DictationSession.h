#pragma once

#include "platform/Uuid.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace skrib {

/// The samples of one dictation (mono, 16 kHz by definition) and their WAV encoding.
///
/// `appendSamples` runs on the capture thread while the main thread may read the duration or
/// the WAV bytes; an internal lock makes both sides safe. Samples are kept in fixed-size chunks,
/// so an append never moves what is already stored (no large reallocation on the capture
/// thread, and no second copy of an hour of audio while it grows).
class DictationSession {
public:
    static constexpr double sampleRate = 16000.0;

    DictationSession() = default;
    DictationSession(const DictationSession&) = delete;
    DictationSession& operator=(const DictationSession&) = delete;

    const Uuid& id() const { return id_; }

    /// Appends the samples at the end, in order.
    void appendSamples(std::span<const float> samples);

    std::int64_t sampleCount() const;
    double durationSeconds() const;

    /// A copy of every sample held, in order.
    std::vector<float> samples() const;

    /// The whole recording as a 16-bit PCM WAV file. Does not change the session.
    std::vector<std::uint8_t> getWAVData() const;

    /// Encodes samples as the WAV file the session produces (44-byte header, 16-bit PCM,
    /// mono, 16000 Hz; NaN as 0, clamped to -1...1, scaled by 32767 and truncated).
    static std::vector<std::uint8_t> encodeWAV(std::span<const float> samples);

private:
    static constexpr std::size_t chunkSize = 1 << 16; // samples per chunk (4.096 s)

    std::vector<std::uint8_t> encodeWAV() const; // caller holds mutex_

    Uuid id_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<float[]>> chunks_;
    std::int64_t count_ = 0;
};

} // namespace skrib
