#pragma once

#include "platform/AudioSystem.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace skrib {

class PulseConnection;

/// The machine's microphones as a PulseAudio (or PipeWire-Pulse) server sees them: its sources
/// other than sink monitors. A device's ID is its source index + 1, as PulseAudio counts from 0
/// and 0 means "no device" here.
///
/// Keeps one connection for queries and for watching the default source. When the server
/// cannot be reached every query answers "none"; a later query tries again (at most once a
/// second, or every 30 s after a server that accepted but never answered), so the object stays
/// usable across server restarts without stalling the main thread.
class PulseAudioSystem final : public AudioSystem {
public:
    /// Connects to the user's sound server (waits at most a few seconds).
    PulseAudioSystem();
    ~PulseAudioSystem() override;
    PulseAudioSystem(const PulseAudioSystem&) = delete;
    PulseAudioSystem& operator=(const PulseAudioSystem&) = delete;

    /// The server's default source; noAudioDevice when it has none or it is a sink monitor.
    AudioDeviceID defaultInputDevice() override;
    /// The source's description (its name when it has none); none for unknown IDs and monitors.
    std::optional<std::string> deviceName(AudioDeviceID device) override;
    /// Every source except sink monitors; each has input.
    std::optional<std::vector<AudioDevice>> devices() override;
    /// `listener` runs on the PulseAudio thread; it must not block on the main thread.
    ListenerID addDefaultInputListener(std::function<void()> listener) override;
    bool removeDefaultInputListener(ListenerID listener) override;
    /// An engine with its own connection, made on its first use.
    std::unique_ptr<AudioEngine> createEngine() override;

    /// The PulseAudio source index behind a device ID; none for noAudioDevice.
    static std::optional<std::uint32_t> sourceIndex(AudioDeviceID device);
    /// The device ID of a PulseAudio source index.
    static AudioDeviceID deviceID(std::uint32_t sourceIndex);

private:
    bool connect();
    // PulseAudio thread.
    void onReady();
    void readDefaultSource();
    void defaultSourceRead(const std::string& name);
    void notifyListeners();

    std::unique_ptr<PulseConnection> connection_;

    std::optional<std::string> lastDefaultSource_; // PulseAudio thread only; none: never read

    // Held while listeners run, so that once removal returns the listener is not running
    // (recursive: a listener may remove itself).
    std::recursive_mutex listenersMutex_;
    std::map<ListenerID, std::shared_ptr<std::function<void()>>> listeners_;
    ListenerID nextListener_ = 1;
};

} // namespace skrib
