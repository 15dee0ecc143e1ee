#pragma once

#include "audio/AudioBuffer16k.h"
#include "platform/AudioSystem.h"
#include "platform/NotificationCenter.h"
#include "platform/Scheduler.h"
#include "state/AppState.h"
#include "state/Notifications.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace skrib {

/// Turns the microphone into a stream of 16 kHz mono blocks, and keeps it flowing: a health
/// check after each start, restarts with back-off, fresh engines after failures, and a one-time
/// fall-back to the built-in microphone when the default device never delivers.
///
/// Everything runs on the main thread except `onAudioBuffer`, which is called on the capture
/// thread (the last block of a capture inside `stopCapture`), one call at a time.
class AudioCaptureManager {
public:
    static constexpr int maxEngineCreationFailures = 3;
    static constexpr int maxTotalRestarts = 8;
    static constexpr const char* micNameChangedNotification = notifications::micNameChanged;

    /// Detects the microphone and starts listening for default-device changes.
    AudioCaptureManager(AudioSystem& audioSystem, AudioConverterFactory& converters,
                        Scheduler& mainQueue, AppState& appState = AppState::shared(),
                        NotificationCenter& notificationCenter = NotificationCenter::shared());
    ~AudioCaptureManager();
    AudioCaptureManager(const AudioCaptureManager&) = delete;
    AudioCaptureManager& operator=(const AudioCaptureManager&) = delete;

    /// Starts capture; the outcome also arrives through `onCaptureStarted`. When capture ran
    /// and a restart cannot start it again, `onCapturePermanentlyFailed` comes instead.
    bool startCapture();
    /// Stops capture and calls off everything scheduled.
    void stopCapture();
    /// Reads the default input device's name into AppState and announces it.
    void detectMicrophone();

    std::function<void(const AudioBuffer16k&)> onAudioBuffer;
    std::function<void(bool)> onCaptureStarted;
    std::function<void()> onCapturePermanentlyFailed;

    // Device helpers.
    AudioDeviceID getDefaultInputDeviceID();
    std::optional<std::string> getDeviceName(AudioDeviceID device);
    std::optional<AudioDeviceID> getBuiltInMicDeviceID();
    bool setInputDevice(AudioDeviceID device, AudioEngine& engine);

    bool isCapturing() const { return isCapturing_; }
    std::int64_t bufferCount() const { return bufferCount_.load(); }

private:
    struct TapContext;

    void restartCapture();
    AudioEngine* getOrCreateEngine();
    void handleDefaultDeviceChanged();
    void handleConfigurationChange();
    void runHealthCheck(double delay);
    void installDefaultDeviceListener();
    void removeDefaultDeviceListener();
    void unregisterConfigObserver();
    bool failStart(const std::string& line);
    void reportStartFailure();

    bool firstBufferReceived() const;
    void setFirstBufferReceived(bool value);

    // Capture thread.
    void onTap(const AudioTapBuffer& buffer, TapContext& context);
    void processBuffer(const AudioTapBuffer& buffer, AudioConverter& converter);
    void processBufferPassthrough(const AudioTapBuffer& buffer);

    AudioSystem& audioSystem_;
    AudioConverterFactory& converters_;
    Scheduler& mainQueue_;
    AppState& appState_;
    NotificationCenter& notificationCenter_;

    std::unique_ptr<AudioEngine> audioEngine_;
    bool isCapturing_ = false;
    std::atomic<std::int64_t> bufferCount_{0};
    std::atomic<std::chrono::system_clock::rep> captureStartTime_{0}; // 0: unset
    bool configObserverRegistered_ = false;
    std::uint64_t configObserverRegistration_ = 0;
    std::shared_ptr<WorkItem> pendingRestart_;
    double engineStartTime_ = 0;
    std::shared_ptr<WorkItem> bufferHealthCheck_;
    int engineCreationFailures_ = 0;
    std::optional<AudioDeviceID> fallbackDeviceID_;
    bool usingFallbackDevice_ = false;
    int totalRestartCount_ = 0;
    std::uint32_t captureGeneration_ = 0;
    bool needsFreshEngine_ = false;
    bool restarting_ = false; // capture ran and is being started again
    bool firstBufferReceived_ = false;
    mutable std::mutex firstBufferLock_;
    std::optional<AudioSystem::ListenerID> defaultDeviceListener_;

    // Held weakly by scheduled work, listeners and observers: they do nothing once it is gone.
    std::shared_ptr<AudioCaptureManager*> self_ = std::make_shared<AudioCaptureManager*>(this);
};

} // namespace skrib
