#pragma once

#include "audio/pulse/PulseConnection.h"
#include "platform/AudioSystem.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <pulse/pulseaudio.h>
#include <string>
#include <vector>

namespace skrib {

/// Capture from one PulseAudio source through a record stream in 32-bit float at the source's
/// own rate and channel layout, so the server neither resamples nor remixes.
///
/// The engine has its own connection (and PulseAudio thread, which is the capture thread),
/// made on first use and closed by `stop()`; start and stop may repeat on the same object.
class PulseAudioEngine final : public AudioEngine {
public:
    static constexpr std::chrono::milliseconds tailLimit{500};

    PulseAudioEngine() = default;
    /// Stops.
    ~PulseAudioEngine() override;
    PulseAudioEngine(const PulseAudioEngine&) = delete;
    PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

    /// Binds to the source with the device's ID (0: the server's default, read at start).
    /// Answers -1 for an unknown device or a monitor, -2 when the server cannot be asked; the
    /// binding stays as it was then.
    int setInputDevice(AudioDeviceID device) override;
    /// Connects and reads the bound source's format. Answers "No input device" when there is no
    /// usable source, else PulseAudio's error text.
    std::optional<std::string> start() override;
    /// Removes the tap and disconnects.
    void stop() override;
    /// The source's rate and channel count, as interleaved 32-bit float.
    AudioFormat inputFormat() const override { return format_; }
    /// Opens a record stream on the source and waits until it runs; `callback` then receives
    /// buffers of exactly `frames` frames on the PulseAudio thread. Replaces an installed tap.
    std::optional<std::string> installTap(std::uint32_t frames, TapCallback callback) override;
    /// Hands the tap what the source captured before the call (waiting at most `tailLimit` for
    /// the server to tell how much that is, and as long for the samples), then closes the
    /// record stream; not from inside the tap callback.
    void removeTap() override;
    /// The handler runs on the PulseAudio thread and must not block on the main thread.
    void setConfigurationChangeHandler(std::function<void()> handler) override;

private:
    bool ensureConnection();
    void closeConnection();
    void closeStream(); // lock held
    void deliverTail(); // lock held

    // PulseAudio thread, lock held.
    static void onStreamState(pa_stream* stream, void* self);
    static void onStreamRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onStreamSuspended(pa_stream* stream, void* self);
    static void onStreamMoved(pa_stream* stream, void* self);
    void onSourceEvent(pa_subscription_event_type_t type, std::uint32_t index);
    void onConnectionLost();
    void append(const std::byte* data, std::size_t bytes);
    void deliver(const AudioTapBuffer& buffer);
    void reportChange();
    void reportLoss();

    std::unique_ptr<PulseConnection> connection_;
    std::optional<std::uint32_t> boundSource_; // none: the server's default
    bool started_ = false;
    PulseSource source_;
    AudioFormat format_{};

    // Shared with the PulseAudio thread under the loop lock.
    pa_stream* stream_ = nullptr;
    bool streamRunning_ = false; // reached READY; its end is then a loss, unless we close it
    bool lossReported_ = false;  // one report per lost source, however many signs come
    TapCallback tap_;
    std::uint32_t tapFrames_ = 0;
    std::vector<float> pending_; // one buffer being filled
    std::size_t pendingBytes_ = 0;
    AudioTapBuffer tapBuffer_; // points into pending_; made once per tap

    // Held while the handler runs, so that once it is replaced the old one is not running
    // (recursive: the handler may replace itself).
    std::recursive_mutex handlerMutex_;
    std::function<void()> handler_;
};

} // namespace skrib
