#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace skrib::service {

/// Recognition input: 16 kHz mono signed 16-bit samples.
inline constexpr int recognitionSampleRate = 16000;

/// Why audio could not be turned into samples; `message` is fit for the client.
struct DecodeFailure {
    std::string message;
    bool tooLong = false; // the audio is longer than asked for, not faulty
};

/// Decodes a WAV (PCM of any width) or M4A/MP4 (AAC or ALAC) file held in memory to 16 kHz mono,
/// whatever its sample rate and channel count (channels are averaged). Fails on any other
/// container or codec, on damaged data, and when the result would hold more than `maxSamples`
/// samples.
std::variant<std::vector<std::int16_t>, DecodeFailure>
decodeToRecognitionPcm(std::string_view file, std::size_t maxSamples);

} // namespace skrib::service
