#pragma once

#include "platform/AudioSystem.h"

namespace skrib {

/// Sample conversion with libswresample: any rate, channel count and sample type in, the
/// requested output out. Stereo and wider inputs are mixed down with equal weights (a correlated
/// stereo signal keeps its level instead of gaining 3 dB).
class SwrAudioConverterFactory final : public AudioConverterFactory {
public:
    std::unique_ptr<AudioConverter> create(const AudioFormat& input,
                                           const AudioFormat& output) override;
};

} // namespace skrib
