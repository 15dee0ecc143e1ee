#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace skrib::service {

/// Turns one utterance of 16 kHz mono samples into words. One instance serves one thread at a
/// time.
class SpeechRecognizer {
public:
    virtual ~SpeechRecognizer() = default;

    /// The recognised words separated by single spaces (empty for silence), or nothing when
    /// recognition failed.
    virtual std::optional<std::string> recognize(std::span<const std::int16_t> samples) = 0;
};

} // namespace skrib::service
