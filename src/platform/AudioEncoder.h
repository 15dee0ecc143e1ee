#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace skrib {

/// Compresses one recording while it is made: the samples go in as they arrive, and the
/// finished file comes out at the end. The encoding runs on a thread of the encoder's own.
class AudioEncoder {
public:
    /// The whole file's bytes, or none and the reason it could not be made.
    using Finished = std::function<void(std::optional<std::string> file, std::string error)>;

    /// Stops the encoding, dropping what is still queued. Once it returns, `finished` is not
    /// running and will not be called (unless this runs inside `finished` itself).
    virtual ~AudioEncoder() = default;

    /// Hands over the next samples (mono, 16-bit, at the encoder's rate). Copies them and
    /// returns without waiting for any encoding, so the capture thread may call it.
    virtual void append(std::span<const std::int16_t> samples) = 0;

    /// Ends the input (no `append` after it; at most one call): `finished` runs once, on the
    /// encoder's thread, when everything handed over is in the file.
    virtual void finish(Finished finished) = 0;
};

class AudioEncoderFactory {
public:
    virtual ~AudioEncoderFactory() = default;

    /// A running encoder for mono samples at `sampleRate`; it takes samples at once (its own
    /// set-up happens on its thread, and a failure there comes back through `finish`).
    virtual std::unique_ptr<AudioEncoder> start(int sampleRate) = 0;
};

} // namespace skrib
