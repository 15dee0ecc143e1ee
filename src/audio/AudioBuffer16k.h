#pragma once

#include <chrono>
#include <vector>

namespace skrib {

/// One block of mono samples at 16 kHz, as the capture delivers it. Immutable.
class AudioBuffer16k {
public:
    AudioBuffer16k(std::vector<float> samples, double sampleRate,
                   std::chrono::system_clock::time_point timestamp)
        : samples_(std::move(samples))
        , sampleRate_(sampleRate)
        , timestamp_(timestamp) {}

    const std::vector<float>& samples() const { return samples_; }
    double sampleRate() const { return sampleRate_; }
    std::chrono::system_clock::time_point timestamp() const { return timestamp_; }

    /// Root mean square of the samples (0 for an empty block), summed in single precision.
    float rmsLevel() const;

private:
    std::vector<float> samples_;
    double sampleRate_;
    std::chrono::system_clock::time_point timestamp_;
};

} // namespace skrib
