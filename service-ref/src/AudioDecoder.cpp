#include "AudioDecoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace skrib::service {
namespace {

constexpr int ioBufferSize = 64 * 1024;

struct MemoryReader {
    std::string_view data;
    std::size_t position = 0;
};

int readPacket(void* opaque, std::uint8_t* buffer, int size) {
    auto* reader = static_cast<MemoryReader*>(opaque);
    const std::size_t left = reader->data.size() - reader->position;
    if (left == 0) {
        return AVERROR_EOF;
    }
    const std::size_t count = std::min(left, static_cast<std::size_t>(size));
    std::memcpy(buffer, reader->data.data() + reader->position, count);
    reader->position += count;
    return static_cast<int>(count);
}

std::int64_t seekTo(void* opaque, std::int64_t offset, int whence) {
    auto* reader = static_cast<MemoryReader*>(opaque);
    const auto size = static_cast<std::int64_t>(reader->data.size());
    std::int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return size;
    case SEEK_SET:
        target = offset;
        break;
    case SEEK_CUR:
        target = static_cast<std::int64_t>(reader->position) + offset;
        break;
    case SEEK_END:
        target = size + offset;
        break;
    default:
        return AVERROR(EINVAL);
    }
    if (target < 0 || target > size) {
        return AVERROR(EINVAL);
    }
    reader->position = static_cast<std::size_t>(target);
    return target;
}

struct IoContextDeleter {
    void operator()(AVIOContext* io) const {
        if (io != nullptr) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }
};
struct FormatDeleter {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct ResamplerDeleter {
    void operator()(SwrContext* swr) const { swr_free(&swr); }
};

bool isAcceptedCodec(AVCodecID id) {
    const bool pcm = id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT;
    return pcm || id == AV_CODEC_ID_AAC || id == AV_CODEC_ID_ALAC;
}

void quietenFfmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Converts decoded frames to 16 kHz mono S16, set up from the first frame.
class Resampler {
public:
    bool ensure(const AVFrame& frame) {
        if (swr_) {
            return frame.sample_rate == rate_ && frame.format == format_ &&
                   frame.ch_layout.nb_channels == channels_;
        }
        rate_ = frame.sample_rate;
        format_ = frame.format;
        channels_ = frame.ch_layout.nb_channels;
        if (rate_ < 1000 || rate_ > 768000 || channels_ < 1 || channels_ > 16) {
            return false;
        }
        AVChannelLayout input{};
        if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
            av_channel_layout_check(&frame.ch_layout) == 0) {
            av_channel_layout_default(&input, channels_);
        } else if (av_channel_layout_copy(&input, &frame.ch_layout) < 0) {
            return false;
        }
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* raw = nullptr;
        const int made =
            swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_S16, recognitionSampleRate, &input,
                                static_cast<AVSampleFormat>(format_), rate_, 0, nullptr);
        av_channel_layout_uninit(&input);
        swr_.reset(raw);
        if (made < 0 || !swr_) {
            return false;
        }
        if (channels_ > 1) {
            // Every channel counts the same; the library's own mix weights channels by their
            // position and leaves out a low-frequency channel.
            std::vector<double> matrix(static_cast<std::size_t>(channels_), 1.0 / channels_);
            if (swr_set_matrix(swr_.get(), matrix.data(), channels_) < 0) {
                return false;
            }
        }
        return swr_init(swr_.get()) >= 0;
    }

    // Converts `frame` (or drains the resampler when it is null) onto `out`.
    bool convert(const AVFrame* frame, std::vector<std::int16_t>& out, std::size_t maxSamples) {
        if (!swr_) {
            return true;
        }
        const int inCount = frame != nullptr ? frame->nb_samples : 0;
        const int room = swr_get_out_samples(swr_.get(), inCount);
        if (room < 0) {
            return false;
        }
        const std::size_t before = out.size();
        if (before > maxSamples) {
            return false;
        }
        out.resize(before + static_cast<std::size_t>(room));
        auto* target = reinterpret_cast<std::uint8_t*>(out.data() + before);
        const int made = swr_convert(
            swr_.get(), &target, room,
            frame != nullptr ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr,
            inCount);
        if (made < 0) {
            out.resize(before);
            return false;
        }
        out.resize(before + static_cast<std::size_t>(made));
        return true;
    }

private:
    std::unique_ptr<SwrContext, ResamplerDeleter> swr_;
    int rate_ = 0;
    int format_ = -1;
    int channels_ = 0;
};

} // namespace

std::variant<std::vector<std::int16_t>, DecodeFailure>
decodeToRecognitionPcm(std::string_view file, std::size_t maxSamples) {
    quietenFfmpeg();
    const DecodeFailure unreadable{"audio could not be decoded (send WAV or M4A)"};
    if (file.empty()) {
        return unreadable;
    }

    MemoryReader reader{file, 0};
    auto* ioBuffer = static_cast<std::uint8_t*>(av_malloc(ioBufferSize));
    if (ioBuffer == nullptr) {
        return DecodeFailure{"out of memory"};
    }
    std::unique_ptr<AVIOContext, IoContextDeleter> io(
        avio_alloc_context(ioBuffer, ioBufferSize, 0, &reader, readPacket, nullptr, seekTo));
    if (!io) {
        av_free(ioBuffer);
        return DecodeFailure{"out of memory"};
    }

    AVFormatContext* rawFormat = avformat_alloc_context();
    if (rawFormat == nullptr) {
        return DecodeFailure{"out of memory"};
    }
    rawFormat->pb = io.get();
    rawFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", "wav,mov,mp4,m4a", 0);
    const int opened = avformat_open_input(&rawFormat, nullptr, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {
        return unreadable; // avformat_open_input frees the context on failure
    }
    std::unique_ptr<AVFormatContext, FormatDeleter> format(rawFormat);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) {
        return unreadable;
    }
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream < 0) {
        return DecodeFailure{"the upload holds no audio stream"};
    }
    const AVCodecParameters* parameters = format->streams[stream]->codecpar;
    if (!isAcceptedCodec(parameters->codec_id)) {
        return DecodeFailure{std::string("unsupported audio codec ") +
                             avcodec_get_name(parameters->codec_id) + " (send PCM WAV or AAC M4A)"};
    }
    const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
    if (decoder == nullptr) {
        return unreadable;
    }
    std::unique_ptr<AVCodecContext, CodecDeleter> codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), parameters) < 0 ||
        avcodec_open2(codec.get(), decoder, nullptr) < 0) {
        return unreadable;
    }

    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    if (!packet || !frame) {
        return DecodeFailure{"out of memory"};
    }
    Resampler resampler;
    std::vector<std::int16_t> samples;
    const DecodeFailure tooLong{"the recording is too long (at most " +
                                    std::to_string(maxSamples / recognitionSampleRate) + " s)",
                                true};
    const DecodeFailure damaged{"audio could not be decoded (the data is damaged)"};

    auto drainFrames = [&]() -> std::optional<DecodeFailure> {
        while (true) {
            const int received = avcodec_receive_frame(codec.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return std::nullopt;
            }
            if (received < 0) {
                return damaged;
            }
            if (!resampler.ensure(*frame)) {
                av_frame_unref(frame.get());
                return DecodeFailure{"unsupported audio layout or sample rate"};
            }
            const bool converted = resampler.convert(frame.get(), samples, maxSamples);
            av_frame_unref(frame.get());
            if (!converted) {
                return damaged;
            }
            if (samples.size() > maxSamples) {
                return tooLong;
            }
        }
    };

    bool sawError = false;
    while (true) {
        const int read = av_read_frame(format.get(), packet.get());
        if (read == AVERROR_EOF) {
            break;
        }
        if (read < 0) {
            sawError = true;
            break;
        }
        if (packet->stream_index == stream) {
            const int sent = avcodec_send_packet(codec.get(), packet.get());
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                return damaged;
            }
            if (auto failure = drainFrames()) {
                return *failure;
            }
        } else {
            av_packet_unref(packet.get());
        }
    }
    if (avcodec_send_packet(codec.get(), nullptr) >= 0) {
        if (auto failure = drainFrames()) {
            return *failure;
        }
    }
    if (!resampler.convert(nullptr, samples, maxSamples)) {
        return damaged;
    }
    if (samples.size() > maxSamples) {
        return tooLong;
    }
    if (sawError && samples.empty()) {
        return damaged;
    }
    return samples;
}

} // namespace skrib::service
