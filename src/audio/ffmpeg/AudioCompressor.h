#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace skrib {

/// Shrinks a dictation before upload: WAV (16-bit PCM) in, AAC at 32 kbit/s in an M4A container
/// out, at the WAV's sample rate, mono. Works in memory; nothing touches the disk.
class AudioCompressor {
public:
    /// The M4A bytes, or none when compression failed (logged) or did not make the data smaller.
    static std::optional<std::vector<std::uint8_t>>
    compressWAVToM4A(const std::vector<std::uint8_t>& wavData);

    /// The samples of a WAV file as mono floats, with its sample rate; the error text when the
    /// bytes are not a WAV file this program can read (PCM 16-bit or float 32-bit).
    struct DecodedWAV {
        std::vector<float> samples;
        int sampleRate = 0;
    };
    static std::optional<DecodedWAV> decodeWAV(const std::vector<std::uint8_t>& wavData,
                                               std::string& error);

    /// Encodes mono samples as AAC in M4A; none with `error` set on failure.
    static std::optional<std::vector<std::uint8_t>> encode(const DecodedWAV& audio,
                                                           std::string& error);
};

} // namespace skrib
