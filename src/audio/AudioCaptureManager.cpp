#include "audio/AudioCaptureManager.h"

#include "log/DebugLog.h"
#include "platform/TextFormat.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace skrib {
namespace {

const AudioFormat targetFormat{16000.0, 1, SampleType::float32, false};

std::chrono::system_clock::rep ticks(std::chrono::system_clock::time_point t) {
    return t.time_since_epoch().count();
}

} // namespace

// What one start's tap keeps for its whole life: the converter (none means pass-through).
struct AudioCaptureManager::TapContext {
    std::unique_ptr<AudioConverter> converter;
};

AudioCaptureManager::AudioCaptureManager(AudioSystem& audioSystem,
                                         AudioConverterFactory& converters, Scheduler& mainQueue,
                                         AppState& appState, NotificationCenter& notificationCenter)
    : audioSystem_(audioSystem)
    , converters_(converters)
    , mainQueue_(mainQueue)
    , appState_(appState)
    , notificationCenter_(notificationCenter) {
    detectMicrophone();
    installDefaultDeviceListener();
}

AudioCaptureManager::~AudioCaptureManager() {
    removeDefaultDeviceListener();
    unregisterConfigObserver();
    for (const auto& item : {pendingRestart_, bufferHealthCheck_}) {
        if (item) {
            item->cancel();
        }
    }
    // The engine stops its tap before it goes, so no capture-thread call outlives the manager.
    audioEngine_.reset();
}

// MARK: - Start and stop

bool AudioCaptureManager::failStart(const std::string& line) {
    debugLog(line);
    reportStartFailure();
    return false;
}

void AudioCaptureManager::reportStartFailure() {
    // Capture that ran and cannot start again is lost for good: nobody waits for a start then.
    if (std::exchange(restarting_, false)) {
        if (onCapturePermanentlyFailed) {
            onCapturePermanentlyFailed();
        }
    } else if (onCaptureStarted) {
        onCaptureStarted(false);
    }
}

bool AudioCaptureManager::startCapture() {
    if (isCapturing_) {
        if (onCaptureStarted) {
            onCaptureStarted(true);
        }
        return true;
    }

    AudioEngine* enginePointer = getOrCreateEngine();
    if (enginePointer == nullptr) {
        return failStart("❌ Audio engine failed: no audio engine available");
    }
    AudioEngine& engine = *enginePointer;

    AudioDeviceID device = noAudioDevice;
    if (fallbackDeviceID_ && usingFallbackDevice_) {
        device = *fallbackDeviceID_;
        debugLog("🎤 Using fallback device: " + getDeviceName(device).value_or("unknown") +
                 " (ID: " + std::to_string(device) + ")");
    } else {
        device = getDefaultInputDeviceID();
    }
    setInputDevice(device, engine);
    detectMicrophone();

    engineStartTime_ = mainQueue_.absoluteTime();
    if (const auto error = engine.start()) {
        return failStart("❌ Audio engine failed: " + *error);
    }

    const AudioFormat input = engine.inputFormat();
    debugLog("🎤 Actual input format: " + describeDouble(input.sampleRate) + "Hz " +
             std::to_string(input.channelCount) + "ch");
    if (!(input.sampleRate > 0) || input.channelCount == 0) {
        engine.stop();
        return failStart("❌ Invalid format after engine start");
    }

    auto context = std::make_shared<TapContext>();
    const bool native = input.sampleRate == 16000.0 && input.channelCount == 1 &&
                        input.sampleType == SampleType::float32;
    if (native) {
        debugLog("🎤 Native 16kHz mono — passthrough mode");
    } else {
        context->converter = converters_.create(input, targetFormat);
        if (!context->converter) {
            engine.stop();
            return failStart("❌ Failed to create audio converter");
        }
    }

    bufferCount_ = 0;
    captureStartTime_ = ticks(mainQueue_.now());
    setFirstBufferReceived(false);

    const auto tapSize = static_cast<std::uint32_t>(input.sampleRate * 0.1);
    engine.removeTap();
    const auto tapError = engine.installTap(
        tapSize, [this, context](const AudioTapBuffer& buffer) { onTap(buffer, *context); });

    if (tapError) {
        debugLog("❌ installTap threw NSException: " + (tapError->empty() ? "unknown" : *tapError));
        engine.stop();
        engineCreationFailures_ += 1;
        if (engineCreationFailures_ < maxEngineCreationFailures) {
            debugLog("🔄 Will retry with fresh engine (failure " +
                     std::to_string(engineCreationFailures_) + "/" +
                     std::to_string(maxEngineCreationFailures) + ")");
            needsFreshEngine_ = true;
            std::weak_ptr<AudioCaptureManager*> weak = self_;
            pendingRestart_ = mainQueue_.postAfter(engineCreationFailures_ * 0.5, [weak] {
                if (auto self = weak.lock()) {
                    (*self)->startCapture();
                }
            });
            return false;
        }
        debugLog("❌ installTap failed " + std::to_string(maxEngineCreationFailures) +
                 " times — giving up");
        engineCreationFailures_ = 0;
        reportStartFailure();
        return false;
    }

    engineCreationFailures_ = 0;
    unregisterConfigObserver();
    {
        // This engine's changes only, delivered on the main queue; a change queued before the
        // observer was replaced or removed is dropped by the registration check.
        const std::uint64_t registration = ++configObserverRegistration_;
        configObserverRegistered_ = true;
        std::weak_ptr<AudioCaptureManager*> weak = self_;
        Scheduler* queue = &mainQueue_;
        engine.setConfigurationChangeHandler([weak, queue, registration] {
            queue->post([weak, registration] {
                auto self = weak.lock();
                if (self && (*self)->configObserverRegistered_ &&
                    (*self)->configObserverRegistration_ == registration) {
                    (*self)->handleConfigurationChange();
                }
            });
        });
    }

    isCapturing_ = true;
    restarting_ = false;
    pendingRestart_.reset();

    debugLog("🟢 Audio capture started — " + describeDouble(input.sampleRate) + "Hz → 16kHz" +
             (native ? " (passthrough)" : ""));
    if (onCaptureStarted) {
        onCaptureStarted(true);
    }

    const double delay = 2.5 + 1.5 * totalRestartCount_;
    if (bufferHealthCheck_) {
        bufferHealthCheck_->cancel();
    }
    std::weak_ptr<AudioCaptureManager*> weak = self_;
    bufferHealthCheck_ = mainQueue_.postAfter(delay, [weak, delay] {
        if (auto self = weak.lock()) {
            (*self)->runHealthCheck(delay);
        }
    });
    return true;
}

void AudioCaptureManager::stopCapture() {
    if (pendingRestart_) {
        pendingRestart_->cancel();
        pendingRestart_.reset();
    }
    if (bufferHealthCheck_) {
        bufferHealthCheck_->cancel();
        bufferHealthCheck_.reset();
    }
    totalRestartCount_ = 0;
    usingFallbackDevice_ = false;
    fallbackDeviceID_.reset();
    restarting_ = false;
    unregisterConfigObserver();
    captureGeneration_ += 1; // wraps
    if (audioEngine_) {
        audioEngine_->removeTap();
        audioEngine_->stop();
    }
    const bool wasCapturing = isCapturing_;
    isCapturing_ = false;
    if (wasCapturing) {
        debugLog("⏹ Audio capture stopped — " + std::to_string(bufferCount_.load()) +
                 " buffers");
    }
}

void AudioCaptureManager::restartCapture() {
    if (!audioEngine_ || !isCapturing_) {
        return;
    }
    if (bufferHealthCheck_) {
        bufferHealthCheck_->cancel();
        bufferHealthCheck_.reset();
    }
    unregisterConfigObserver();
    audioEngine_->removeTap();
    audioEngine_->stop();
    isCapturing_ = false;
    restarting_ = true;
    needsFreshEngine_ = true;
    totalRestartCount_ += 1;

    std::weak_ptr<AudioCaptureManager*> weak = self_;
    if (totalRestartCount_ <= maxTotalRestarts) {
        const double delay = std::min(0.5 * std::pow(1.5, totalRestartCount_ - 1), 4.0);
        debugLog("🔄 Restart #" + std::to_string(totalRestartCount_) + " — retrying in " +
                 fixed(delay, 1) + "s");
        const std::uint32_t generation = captureGeneration_;
        pendingRestart_ = mainQueue_.postAfter(delay, [weak, generation] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if ((*self)->captureGeneration_ == generation) {
                (*self)->startCapture();
            } else {
                debugLog("🔄 Restart aborted — capture was stopped (generation mismatch)");
            }
        });
        return;
    }

    if (!usingFallbackDevice_) {
        const auto builtIn = getBuiltInMicDeviceID();
        if (builtIn && *builtIn != getDefaultInputDeviceID()) {
            debugLog("🔄 Default device failed — falling back to built-in mic (ID: " +
                     std::to_string(*builtIn) + ")");
            fallbackDeviceID_ = *builtIn;
            usingFallbackDevice_ = true;
            totalRestartCount_ = 0;
            needsFreshEngine_ = true;
            appState_.currentMicName.set(getDeviceName(*builtIn).value_or("Built-in Microphone") +
                                         " (fallback)");
            notificationCenter_.post(micNameChangedNotification);
            const std::uint32_t generation = captureGeneration_;
            mainQueue_.postAfter(0.5, [weak, generation] {
                auto self = weak.lock();
                if (self && (*self)->captureGeneration_ == generation) {
                    (*self)->startCapture();
                }
            });
            return;
        }
    }

    restarting_ = false;
    debugLog("❌ Max total restarts reached (" + std::to_string(maxTotalRestarts) + ") — stopping");
    if (onCapturePermanentlyFailed) {
        onCapturePermanentlyFailed();
    }
}

AudioEngine* AudioCaptureManager::getOrCreateEngine() {
    if (audioEngine_ && !needsFreshEngine_) {
        return audioEngine_.get();
    }
    if (audioEngine_) {
        audioEngine_->removeTap();
        audioEngine_->stop();
        debugLog("♻️ Replacing old engine with fresh instance");
    }
    audioEngine_ = audioSystem_.createEngine();
    needsFreshEngine_ = false;
    return audioEngine_.get();
}

// MARK: - Health and configuration

void AudioCaptureManager::runHealthCheck(double delay) {
    if (!isCapturing_) {
        return;
    }
    if (firstBufferReceived()) {
        totalRestartCount_ = 0;
        debugLog("✅ Audio health check passed — buffers flowing");
        return;
    }
    debugLog("⚠️ No audio buffers after " + fixed(delay, 1) +
             "s — device may not be ready, restarting (attempt " +
             std::to_string(totalRestartCount_ + 1) + "/" + std::to_string(maxTotalRestarts) + ")");
    restartCapture();
}

void AudioCaptureManager::handleConfigurationChange() {
    const double elapsed = mainQueue_.absoluteTime() - engineStartTime_;
    if (elapsed < 1.5) {
        debugLog("⚠️ Audio config changed — ignoring (startup, " +
                 std::to_string(static_cast<long long>(elapsed * 1000)) + "ms)");
        return;
    }
    if (isCapturing_) {
        debugLog("⚠️ Audio config changed — restarting capture");
        restartCapture();
    }
}

void AudioCaptureManager::unregisterConfigObserver() {
    if (configObserverRegistered_) {
        if (audioEngine_) {
            audioEngine_->setConfigurationChangeHandler(nullptr);
        }
        configObserverRegistered_ = false;
    }
}

void AudioCaptureManager::handleDefaultDeviceChanged() {
    debugLog("🔄 System default input device changed");
    needsFreshEngine_ = true;
    usingFallbackDevice_ = false;
    fallbackDeviceID_.reset();
    detectMicrophone();
    if (isCapturing_) {
        totalRestartCount_ = 0;
        debugLog("🔄 Restarting capture for new default device");
        restartCapture();
    }
}

bool AudioCaptureManager::firstBufferReceived() const {
    std::lock_guard lock(firstBufferLock_);
    return firstBufferReceived_;
}

void AudioCaptureManager::setFirstBufferReceived(bool value) {
    std::lock_guard lock(firstBufferLock_);
    firstBufferReceived_ = value;
}

// MARK: - Capture thread

void AudioCaptureManager::onTap(const AudioTapBuffer& buffer, TapContext& context) {
    if (!firstBufferReceived()) {
        setFirstBufferReceived(true);
        const auto now = mainQueue_.now();
        const auto start = captureStartTime_.load();
        const auto startTime =
            start == 0
                ? now
                : std::chrono::system_clock::time_point(std::chrono::system_clock::duration(start));
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - startTime).count();
        debugLog("🎙 First buffer after " + std::to_string(ms) + "ms");
    }
    bufferCount_ += 1;
    if (context.converter) {
        processBuffer(buffer, *context.converter);
    } else {
        processBufferPassthrough(buffer);
    }
}

void AudioCaptureManager::processBuffer(const AudioTapBuffer& buffer, AudioConverter& converter) {
    if (!(buffer.format.sampleRate > 0)) {
        return;
    }
    const double frames = buffer.frameLength * (16000.0 / buffer.format.sampleRate);
    const auto capacity = static_cast<std::uint32_t>(frames) + 100;
    auto samples = converter.convert(buffer, capacity);
    if (!samples) {
        return; // a conversion error drops this block; the health check catches a dead stream
    }
    if (samples->size() > capacity) {
        samples->resize(capacity);
    }
    if (onAudioBuffer) {
        onAudioBuffer(AudioBuffer16k(std::move(*samples), 16000.0, mainQueue_.now()));
    }
}

void AudioCaptureManager::processBufferPassthrough(const AudioTapBuffer& buffer) {
    if (buffer.channelData.empty() || buffer.channelData[0] == nullptr || buffer.frameLength == 0) {
        return;
    }
    const auto* first = static_cast<const float*>(buffer.channelData[0]);
    std::vector<float> samples(first, first + buffer.frameLength);
    if (onAudioBuffer) {
        onAudioBuffer(AudioBuffer16k(std::move(samples), 16000.0, mainQueue_.now()));
    }
}

// MARK: - Devices

AudioDeviceID AudioCaptureManager::getDefaultInputDeviceID() {
    return audioSystem_.defaultInputDevice();
}

std::optional<std::string> AudioCaptureManager::getDeviceName(AudioDeviceID device) {
    if (device == noAudioDevice) {
        return std::nullopt;
    }
    return audioSystem_.deviceName(device);
}

std::optional<AudioDeviceID> AudioCaptureManager::getBuiltInMicDeviceID() {
    const auto devices = audioSystem_.devices();
    if (!devices) {
        return std::nullopt;
    }
    for (const auto& device : *devices) {
        if (device.hasInput && device.builtIn && device.id != noAudioDevice) {
            debugLog("🎤 Found built-in mic: " + getDeviceName(device.id).value_or("unknown") +
                     " (ID: " + std::to_string(device.id) + ")");
            return device.id;
        }
    }
    return std::nullopt;
}

bool AudioCaptureManager::setInputDevice(AudioDeviceID device, AudioEngine& engine) {
    const int status = engine.setInputDevice(device);
    if (status == 0) {
        debugLog("🎤 Bound audio unit to device " + std::to_string(device));
        return true;
    }
    debugLog("⚠️ setInputDevice: AudioUnitSetProperty failed (" + std::to_string(status) + ")");
    return false;
}

void AudioCaptureManager::detectMicrophone() {
    const std::string name = getDeviceName(getDefaultInputDeviceID()).value_or("Unknown");
    appState_.currentMicName.set(name);
    debugLog("🎤 Microphone: " + name);
    notificationCenter_.post(micNameChangedNotification);
}

void AudioCaptureManager::installDefaultDeviceListener() {
    std::weak_ptr<AudioCaptureManager*> weak = self_;
    Scheduler* queue = &mainQueue_;
    defaultDeviceListener_ = audioSystem_.addDefaultInputListener([weak, queue] {
        queue->post([weak] {
            if (auto self = weak.lock()) {
                (*self)->handleDefaultDeviceChanged();
            }
        });
    });
}

void AudioCaptureManager::removeDefaultDeviceListener() {
    if (defaultDeviceListener_) {
        audioSystem_.removeDefaultInputListener(*defaultDeviceListener_);
        defaultDeviceListener_.reset();
    }
}

} // namespace skrib
