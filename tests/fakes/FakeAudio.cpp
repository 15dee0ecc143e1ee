#include "FakeAudio.h"

#include <algorithm>
#include <cstdint>

namespace skrib::testing {

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

std::unique_ptr<AudioEngine> FakeAudioSystem::createEngine() {
    auto engine = std::make_unique<FakeAudioEngine>(*this);
    engines.push_back(engine.get());
    ++enginesCreated;
    return engine;
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
