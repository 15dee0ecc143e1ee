#pragma once

#include "platform/AudioEncoder.h"

namespace skrib {

/// Shrinks dictations for upload while they are recorded: AAC at 32 kbit/s, mono, at the
/// recording's rate, in an M4A container. Each encoder works in memory on a thread of its own;
/// nothing touches the disk.
class AudioCompressor final : public AudioEncoderFactory {
public:
    std::unique_ptr<AudioEncoder> start(int sampleRate) override;
};

} // namespace skrib
