#include "FakeAudio.h"

#include <algorithm>
#include <cstdint>

namespace skrib::testing {

FakeAudioEngine::~FakeAudioEngine() {
    std::erase(system_.engines, this);
}

int FakeAudioEngine::setInputDevice(AudioDeviceID device) {
    if (system_.bindStatus != 0) {
        return system_.bindStatus;
    }
    boundDevice_ = device;
    return 0;
}

std::optional<std::string> FakeAudioEngine::start() {
    if (system_.startError) {
        return system_.startError;
    }
    format_ = system_.format;
    running_ = true;
    return std::nullopt;
}

void FakeAudioEngine::stop() {
    removeTap();
    running_ = false;
}

std::optional<std::string> FakeAudioEngine::installTap(std::uint32_t frames, TapCallback callback) {
    if (system_.tapFailuresToCome > 0) {
        --system_.tapFailuresToCome;
        return system_.tapFailureText;
    }
    tapFrames_ = frames;
    tap_ = std::move(callback);
    return std::nullopt;
}

void FakeAudioEngine::removeTap() {
    tap_ = nullptr;
}

void FakeAudioEngine::setConfigurationChangeHandler(std::function<void()> handler) {
    configurationHandler_ = std::move(handler);
}

bool FakeAudioEngine::deliver(std::uint32_t frames, float value) {
    if (!tap_) {
        return false;
    }
    const std::size_t count = static_cast<std::size_t>(frames) * format_.channelCount;
    AudioTapBuffer buffer;
    buffer.format = format_;
    buffer.frameLength = frames;
    std::vector<float> floats;
    std::vector<std::int16_t> shorts;
    std::vector<std::int32_t> ints;
    switch (format_.sampleType) {
    case SampleType::int16:
        shorts.assign(count, static_cast<std::int16_t>(value * 32767));
        buffer.channelData = {shorts.data()};
        break;
    case SampleType::int32:
        ints.assign(count, static_cast<std::int32_t>(value * 2147483647.0));
        buffer.channelData = {ints.data()};
        break;
    default:
        floats.assign(count, value);
        buffer.channelData = {floats.data()};
        break;
    }
    tap_(buffer);
    return true;
}

bool FakeAudioEngine::changeConfiguration() {
    if (!configurationHandler_) {
        return false;
    }
    configurationHandler_();
    return true;
}

std::optional<std::string> FakeAudioSystem::deviceName(AudioDeviceID device) {
    for (const auto& d : deviceList) {
        if (d.id == device) {
            return d.name;
        }
    }
    return std::nullopt;
}

std::optional<std::vector<AudioDevice>> FakeAudioSystem::devices() {
    if (!deviceListReadable) {
        return std::nullopt;
    }
    return deviceList;
}

AudioSystem::ListenerID FakeAudioSystem::addDefaultInputListener(std::function<void()> listener) {
    const ListenerID id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

bool FakeAudioSystem::removeDefaultInputListener(ListenerID listener) {
    return listeners_.erase(listener) == 1;
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
    PickingConverter(AudioFormat input, AudioFormat output)
        : input_(input)
        , output_(output) {}

    std::optional<std::vector<float>> convert(const AudioTapBuffer& buffer,
                                              std::uint32_t outputCapacity) override {
        if (buffer.channelData.empty() || buffer.channelData[0] == nullptr) {
            return std::nullopt;
        }
        const double step = input_.sampleRate / output_.sampleRate;
        std::vector<float> out;
        for (double position = 0; position < buffer.frameLength && out.size() < outputCapacity;
             position += step) {
            const auto index = static_cast<std::size_t>(position) * input_.channelCount;
            switch (input_.sampleType) {
            case SampleType::int16:
                out.push_back(static_cast<const std::int16_t*>(buffer.channelData[0])[index] /
                              32767.0f);
                break;
            case SampleType::int32:
                out.push_back(static_cast<float>(
                    static_cast<const std::int32_t*>(buffer.channelData[0])[index] / 2147483647.0));
                break;
            default:
                out.push_back(static_cast<const float*>(buffer.channelData[0])[index]);
                break;
            }
        }
        return out;
    }

private:
    AudioFormat input_;
    AudioFormat output_;
};

} // namespace

std::unique_ptr<AudioConverter> FakeAudioConverterFactory::create(const AudioFormat& input,
                                                                  const AudioFormat& output) {
    inputs.push_back(input);
    if (failCreation) {
        return nullptr;
    }
    ++created;
    return std::make_unique<PickingConverter>(input, output);
}

} // namespace skrib::testing
