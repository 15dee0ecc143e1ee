#pragma once

#include "platform/AudioEncoder.h"
#include "platform/Uuid.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace skrib {

/// The samples of one dictation (mono, 16 kHz by definition), kept once, as the 16-bit samples
/// of its WAV file, and handed on as they arrive to the encoder that compresses them meanwhile.
///
/// `appendSamples` runs on the capture thread while other threads may read the duration or
/// the WAV bytes; an internal lock makes both sides safe. Samples are kept in fixed-size chunks,
/// so an append never moves what is already stored (no large reallocation on the capture
/// thread, and no second copy of an hour of audio while it grows).
class DictationSession {
public:
    static constexpr double sampleRate = 16000.0;

    explicit DictationSession(std::unique_ptr<AudioEncoder> encoder = nullptr);
    /// Stops the encoder first (it may be finishing on its thread).
    ~DictationSession();
    DictationSession(const DictationSession&) = delete;
    DictationSession& operator=(const DictationSession&) = delete;

    const Uuid& id() const { return id_; }

    /// Appends the samples at the end, in order (NaN as 0, clamped to -1...1, scaled by 32767
    /// and truncated), and hands them to the encoder.
    void appendSamples(std::span<const float> samples);

    std::int64_t sampleCount() const;
    double durationSeconds() const;

    /// The size of the WAV file of the samples held.
    std::size_t wavSize() const;
    /// The samples held as the bytes of a 16-bit PCM WAV file (44-byte header, mono, 16000 Hz).
    std::string getWAVData() const;

    /// Ends the encoding (after the last append): `finished` runs on the encoder's thread, or
    /// at once with no file and no reason when the session has no encoder.
    void finishEncoding(AudioEncoder::Finished finished);

    /// Lets go of every sample, once the upload no longer needs them.
    void discardSamples();

private:
    static constexpr std::size_t chunkSize = 1 << 19; // samples per chunk (32.768 s)

    Uuid id_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<std::int16_t[]>> chunks_;
    std::int64_t count_ = 0;
    std::unique_ptr<AudioEncoder> encoder_;
};

} // namespace skrib
