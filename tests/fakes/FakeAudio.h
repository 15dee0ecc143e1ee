#pragma once

#include "platform/AudioEncoder.h"
#include "platform/AudioSystem.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace skrib::testing {

class FakeAudioEngine;

/// The machine's devices as the test sets them up.
class FakeAudioSystem final : public AudioSystem {
public:
    // The script every engine follows.
    AudioFormat format{48000.0, 2, SampleType::float32, true};
    std::optional<std::string> startError;
    int tapFailuresToCome = 0; // the next N tap installations fail
    int bindStatus = 0;        // non-zero: binding a device fails with it

    std::vector<AudioDevice> deviceList;
    AudioDeviceID defaultDevice = noAudioDevice;

    // What happened.
    std::vector<FakeAudioEngine*> engines; // every engine created and still alive, oldest first
    int enginesCreated = 0;

    AudioDeviceID defaultInputDevice() override { return defaultDevice; }
    std::optional<std::string> deviceName(AudioDeviceID device) override {
        const auto d = std::ranges::find(deviceList, device, &AudioDevice::id);
        return d == deviceList.end() ? std::nullopt : std::optional(d->name);
    }
    std::optional<std::vector<AudioDevice>> devices() override { return deviceList; }
    ListenerID addDefaultInputListener(std::function<void()> listener) override {
        listeners_.emplace(nextListener_, std::move(listener));
        return nextListener_++;
    }
    bool removeDefaultInputListener(ListenerID listener) override {
        return listeners_.erase(listener) == 1;
    }
    std::unique_ptr<AudioEngine> createEngine() override;

    /// Makes `device` the default and tells every listener.
    void changeDefaultDevice(AudioDeviceID device) {
        defaultDevice = device;
        for (const auto& [id, listener] : std::map(listeners_)) {
            listener();
        }
    }
    std::size_t listenerCount() const { return listeners_.size(); }
    FakeAudioEngine* currentEngine() const { return engines.empty() ? nullptr : engines.back(); }

private:
    std::map<ListenerID, std::function<void()>> listeners_;
    ListenerID nextListener_ = 1;
};

/// An engine whose input is whatever the test delivers. Behaviour comes from its system's
/// script (format, start error, tap failures), so engines created later follow the same script.
class FakeAudioEngine final : public AudioEngine {
public:
    explicit FakeAudioEngine(FakeAudioSystem& system)
        : system_(system) {}
    ~FakeAudioEngine() override { std::erase(system_.engines, this); }

    int setInputDevice(AudioDeviceID device) override {
        boundDevice_ = system_.bindStatus == 0 ? device : boundDevice_;
        return system_.bindStatus;
    }
    std::optional<std::string> start() override {
        running_ = !system_.startError;
        format_ = running_ ? system_.format : format_;
        return system_.startError;
    }
    void stop() override {
        removeTap();
        running_ = false;
    }
    AudioFormat inputFormat() const override { return format_; }
    std::optional<std::string> installTap(std::uint32_t frames, TapCallback callback) override {
        if (system_.tapFailuresToCome > 0) {
            --system_.tapFailuresToCome;
            return "tap refused";
        }
        tapFrames_ = frames;
        tap_ = std::move(callback);
        return std::nullopt;
    }
    void removeTap() override { tap_ = nullptr; }
    void setConfigurationChangeHandler(std::function<void()> handler) override {
        configurationHandler_ = std::move(handler);
    }

    /// Delivers `frames` frames of `value` in the engine's format; false without a tap.
    bool deliver(std::uint32_t frames, float value);
    bool changeConfiguration() { return configurationHandler_ && (configurationHandler_(), true); }

    bool running() const { return running_; }
    AudioDeviceID boundDevice() const { return boundDevice_; }
    std::uint32_t tapFrames() const { return tapFrames_; }

private:
    FakeAudioSystem& system_;
    AudioFormat format_{};
    bool running_ = false;
    AudioDeviceID boundDevice_ = noAudioDevice;
    std::uint32_t tapFrames_ = 0;
    TapCallback tap_;
    std::function<void()> configurationHandler_;
};

/// Converts by picking channel 0 of every n-th frame (n = input rate / output rate).
class FakeAudioConverterFactory final : public AudioConverterFactory {
public:
    bool failCreation = false;
    int created = 0;

    std::unique_ptr<AudioConverter> create(const AudioFormat& input,
                                           const AudioFormat& output) override;
};

/// Encoders whose file is `fileSize` bytes, or none when 0. One thread at a time; finishes run
/// at once, or at `completeFinishes` while `holdFinishes` is set.
class FakeAudioEncoderFactory final : public AudioEncoderFactory {
public:
    std::size_t fileSize = 100;
    bool holdFinishes = false;
    int finishes = 0;
    std::vector<AudioEncoder::Finished> held;

    std::unique_ptr<AudioEncoder> start(int) override { return std::make_unique<Encoder>(*this); }
    void completeFinishes() {
        for (auto& done : std::exchange(held, {})) {
            done(fileSize ? std::optional(std::string(fileSize, 'a')) : std::nullopt,
                 fileSize ? "" : "no AAC encoder");
        }
    }

private:
    struct Encoder final : AudioEncoder {
        explicit Encoder(FakeAudioEncoderFactory& factory)
            : f(factory) {}
        void append(std::span<const std::int16_t>) override {}
        void finish(Finished done) override {
            ++f.finishes, f.held.push_back(std::move(done));
            f.holdFinishes ? void() : f.completeFinishes();
        }
        FakeAudioEncoderFactory& f;
    };
};

} // namespace skrib::testing
