#include "audio/ffmpeg/SwrAudioConverter.h"

#include <cmath>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace skrib {
namespace {

std::optional<AVSampleFormat> sampleFormat(const AudioFormat& format) {
    const bool planar = !format.interleaved && format.channelCount > 1;
    switch (format.sampleType) {
    case SampleType::float32:
        return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case SampleType::int16:
        return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case SampleType::int32:
        return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    case SampleType::other:
        break;
    }
    return std::nullopt;
}

bool validRate(double rate) {
    return rate >= 1000 && rate <= 768000 && rate == std::floor(rate);
}

class SwrAudioConverter final : public AudioConverter {
public:
    SwrAudioConverter(SwrContext* context, AudioFormat input, AudioFormat output)
        : context_(context)
        , input_(input)
        , output_(output) {}
    ~SwrAudioConverter() override { swr_free(&context_); }
    SwrAudioConverter(const SwrAudioConverter&) = delete;
    SwrAudioConverter& operator=(const SwrAudioConverter&) = delete;

    std::optional<std::vector<float>> convert(const AudioTapBuffer& buffer,
                                              std::uint32_t outputCapacity) override {
        const bool planar = !input_.interleaved && input_.channelCount > 1;
        const std::size_t planes = planar ? input_.channelCount : 1;
        if (buffer.frameLength > 0 && buffer.channelData.size() < planes) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < planes && buffer.frameLength > 0; ++i) {
            if (buffer.channelData[i] == nullptr) {
                return std::nullopt;
            }
        }
        std::vector<float> out(static_cast<std::size_t>(outputCapacity) * output_.channelCount);
        std::uint8_t* outPlanes[1] = {reinterpret_cast<std::uint8_t*>(out.data())};
        std::vector<const std::uint8_t*> inPlanes(planes, nullptr);
        for (std::size_t i = 0; i < planes && i < buffer.channelData.size(); ++i) {
            inPlanes[i] = static_cast<const std::uint8_t*>(buffer.channelData[i]);
        }
        const int produced = swr_convert(context_, outPlanes, static_cast<int>(outputCapacity),
                                         buffer.frameLength > 0 ? inPlanes.data() : nullptr,
                                         static_cast<int>(buffer.frameLength));
        if (produced < 0) {
            return std::nullopt;
        }
        out.resize(static_cast<std::size_t>(produced) * output_.channelCount);
        return out;
    }

private:
    SwrContext* context_;
    AudioFormat input_;
    AudioFormat output_;
};

} // namespace

std::unique_ptr<AudioConverter> SwrAudioConverterFactory::create(const AudioFormat& input,
                                                                 const AudioFormat& output) {
    const auto inFormat = sampleFormat(input);
    if (!inFormat || output.sampleType != SampleType::float32 || output.channelCount != 1 ||
        input.channelCount == 0 || input.channelCount > 64 || !validRate(input.sampleRate) ||
        !validRate(output.sampleRate)) {
        return nullptr;
    }
    AVChannelLayout inLayout{};
    av_channel_layout_default(&inLayout, static_cast<int>(input.channelCount));
    AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_MONO;

    SwrContext* context = nullptr;
    if (swr_alloc_set_opts2(&context, &outLayout, AV_SAMPLE_FMT_FLT,
                            static_cast<int>(output.sampleRate), &inLayout, *inFormat,
                            static_cast<int>(input.sampleRate), 0, nullptr) < 0 ||
        context == nullptr) {
        av_channel_layout_uninit(&inLayout);
        return nullptr;
    }
    av_channel_layout_uninit(&inLayout);

    // Equal weights for every input channel: the default matrix would let a signal present on
    // both stereo channels come out louder than either.
    std::vector<double> matrix(input.channelCount, 1.0 / input.channelCount);
    if (input.channelCount > 1 &&
        swr_set_matrix(context, matrix.data(), static_cast<int>(input.channelCount)) < 0) {
        swr_free(&context);
        return nullptr;
    }
    if (swr_init(context) < 0) {
        swr_free(&context);
        return nullptr;
    }
    return std::make_unique<SwrAudioConverter>(context, input, output);
}

} // namespace skrib
