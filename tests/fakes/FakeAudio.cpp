#include "FakeAudio.h"

#include <algorithm>
#include <cstdint>

namespace skrib::testing {

FakeAudioEngine::~FakeAudioEngine() {
    std::erase(system_.engines, this);
}

int FakeAudioEngine::setInputDevice(AudioDeviceID device) {
    boundDevice_ = system_.bindStatus == 0 ? device : boundDevice_;
    return system_.bindStatus;
}

std::optional<std::string> FakeAudioEngine::start() {
    running_ = !system_.startError;
    format_ = running_ ? system_.format : format_;
    return system_.startError;
}

std::optional<std::string> FakeAudioEngine::installTap(std::uint32_t frames, TapCallback callback) {
    if (system_.tapFailuresToCome > 0) {
        --system_.tapFailuresToCome;
        return "tap refused";
    }
    tapFrames_ = frames;
    tap_ = std::move(callback);
    return std::nullopt;
}

bool FakeAudioEngine::deliver(std::uint32_t frames, float value) {
    if (!tap_) {
        return false;
    }
    const std::size_t count = static_cast<std::size_t>(frames) * format_.channelCount;
    std::vector<float> floats(count, value);
    std::vector<std::int16_t> shorts(count, static_cast<std::int16_t>(value * 32767));
    const bool int16 = format_.sampleType == SampleType::int16;
    const void* data = int16 ? static_cast<const void*>(shorts.data()) : floats.data();
    tap_(AudioTapBuffer{format_, frames, {data}});
    return true;
}

std::optional<std::string> FakeAudioSystem::deviceName(AudioDeviceID device) {
    const auto d = std::ranges::find(deviceList, device, &AudioDevice::id);
    return d == deviceList.end() ? std::nullopt : std::optional(d->name);
}

std::unique_ptr<AudioEngine> FakeAudioSystem::createEngine() {
    auto engine = std::make_unique<FakeAudioEngine>(*this);
    engines.push_back(engine.get());
    ++enginesCreated;
    return engine;
}

void FakeAudioSystem::changeDefaultDevice(AudioDeviceID device) {
    defaultDevice = device;
    for (const auto& [id, listener] : std::map(listeners_)) {
        listener();
    }
}

namespace {

class PickingConverter final : public AudioConverter {
public:
    PickingConverter(AudioFormat input, double outputRate)
        : input_(input)
        , step_(input.sampleRate / outputRate) {}

    std::optional<std::vector<float>> convert(const AudioTapBuffer& buffer,
                                              std::uint32_t outputCapacity) override {
        if (buffer.channelData.empty() || buffer.channelData[0] == nullptr) {
            return std::nullopt;
        }
        std::vector<float> out;
        for (double at = 0; at < buffer.frameLength && out.size() < outputCapacity; at += step_) {
            const auto index = static_cast<std::size_t>(at) * input_.channelCount;
            out.push_back(input_.sampleType == SampleType::int16
                              ? static_cast<const std::int16_t*>(buffer.channelData[0])[index] /
                                    32767.0f
                              : static_cast<const float*>(buffer.channelData[0])[index]);
        }
        return out;
    }

private:
    AudioFormat input_;
    double step_;
};

} // namespace

std::unique_ptr<AudioConverter> FakeAudioConverterFactory::create(const AudioFormat& input,
                                                                  const AudioFormat& output) {
    if (failCreation) {
        return nullptr;
    }
    ++created;
    return std::make_unique<PickingConverter>(input, output.sampleRate);
}

} // namespace skrib::testing
