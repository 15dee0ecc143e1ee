#include "audio/ffmpeg/AudioCompressor.h"

#include "log/DebugLog.h"

#include <algorithm>
#include <cstring>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace skrib {
namespace {

std::uint32_t u32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::string ffmpegError(const char* what, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

// An M4A file growing in memory, written and patched by the muxer through custom I/O.
struct MemoryFile {
    std::vector<std::uint8_t> bytes;
    std::int64_t position = 0;

    static int write(void* opaque, std::uint8_t* data, int size) {
        auto* file = static_cast<MemoryFile*>(opaque);
        const auto end = static_cast<std::size_t>(file->position) + static_cast<std::size_t>(size);
        if (end > file->bytes.size()) {
            file->bytes.resize(end);
        }
        std::memcpy(file->bytes.data() + file->position, data, static_cast<std::size_t>(size));
        file->position = static_cast<std::int64_t>(end);
        return size;
    }
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* file = static_cast<MemoryFile*>(opaque);
        std::int64_t target = 0;
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return static_cast<std::int64_t>(file->bytes.size());
        case SEEK_SET:
            target = offset;
            break;
        case SEEK_CUR:
            target = file->position + offset;
            break;
        case SEEK_END:
            target = static_cast<std::int64_t>(file->bytes.size()) + offset;
            break;
        default:
            return AVERROR(EINVAL);
        }
        if (target < 0) {
            return AVERROR(EINVAL);
        }
        file->position = target;
        return target;
    }
};

// Owns the FFmpeg objects of one encoding, whatever path it leaves by.
struct Encoding {
    AVCodecContext* codec = nullptr;
    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~Encoding() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        if (format != nullptr) {
            avformat_free_context(format);
        }
        if (io != nullptr) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }
};

// Moves every packet the encoder has ready into the muxer.
int drain(Encoding& e, AVStream* stream) {
    for (;;) {
        int result = avcodec_receive_packet(e.codec, e.packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return 0;
        }
        if (result < 0) {
            return result;
        }
        av_packet_rescale_ts(e.packet, e.codec->time_base, stream->time_base);
        e.packet->stream_index = stream->index;
        result = av_interleaved_write_frame(e.format, e.packet);
        if (result < 0) {
            return result;
        }
    }
}

} // namespace

std::optional<AudioCompressor::DecodedWAV>
AudioCompressor::decodeWAV(const std::vector<std::uint8_t>& wav, std::string& error) {
    if (wav.size() < 12 || std::memcmp(wav.data(), "RIFF", 4) != 0 ||
        std::memcmp(wav.data() + 8, "WAVE", 4) != 0) {
        error = "The data is not a WAV file (no RIFF/WAVE header).";
        return std::nullopt;
    }
    int channels = 0;
    int bits = 0;
    int formatTag = 0;
    DecodedWAV decoded;
    const std::uint8_t* data = nullptr;
    std::size_t dataSize = 0;
    std::size_t offset = 12;
    while (offset + 8 <= wav.size()) {
        const std::uint8_t* chunk = wav.data() + offset;
        const std::uint64_t size = u32(chunk + 4);
        const std::size_t bodyStart = offset + 8;
        const std::size_t available = wav.size() - bodyStart;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && available >= 16) {
            formatTag = u16(chunk + 8);
            channels = u16(chunk + 10);
            decoded.sampleRate =
                static_cast<int>(std::min<std::uint32_t>(u32(chunk + 12), 1 << 30));
            bits = u16(chunk + 22);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            data = chunk + 8;
            dataSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, available));
            break;
        }
        offset = bodyStart +
                 static_cast<std::size_t>(std::min<std::uint64_t>(size + (size & 1), available));
    }
    const bool pcm16 = formatTag == 1 && bits == 16;
    const bool float32 = formatTag == 3 && bits == 32;
    if (!pcm16 && !float32) {
        error = "The WAV file has no readable format (16-bit PCM or 32-bit float expected).";
        return std::nullopt;
    }
    if (channels < 1 || channels > 8 || decoded.sampleRate < 8000 || decoded.sampleRate > 192000) {
        error = "The WAV file has an unsupported channel count or sample rate.";
        return std::nullopt;
    }
    if (data == nullptr) {
        error = "The WAV file has no data chunk.";
        return std::nullopt;
    }
    const std::size_t bytesPerFrame = static_cast<std::size_t>(channels) * (bits / 8);
    const std::size_t frames = dataSize / bytesPerFrame;
    decoded.samples.resize(frames);
    for (std::size_t f = 0; f < frames; ++f) {
        float sum = 0;
        for (int c = 0; c < channels; ++c) {
            const std::uint8_t* p =
                data + f * bytesPerFrame + static_cast<std::size_t>(c) * (bits / 8);
            if (pcm16) {
                sum += static_cast<float>(static_cast<std::int16_t>(u16(p))) / 32768.0f;
            } else {
                float v = 0;
                std::memcpy(&v, p, 4);
                sum += v;
            }
        }
        decoded.samples[f] = sum / static_cast<float>(channels);
    }
    return decoded;
}

std::optional<std::vector<std::uint8_t>> AudioCompressor::encode(const DecodedWAV& audio,
                                                                 std::string& error) {
    // FFmpeg's own chatter (encoder statistics, container hints) is not for the user's terminal;
    // failures come back through `error`.
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_ERROR);
        return true;
    }();
    (void)quiet;
    const AVCodec* aac = avcodec_find_encoder_by_name("aac");
    if (aac == nullptr) {
        error = "No AAC encoder available.";
        return std::nullopt;
    }
    Encoding e;
    MemoryFile file;
    e.codec = avcodec_alloc_context3(aac);
    if (e.codec == nullptr) {
        error = "buffer alloc failed";
        return std::nullopt;
    }
    e.codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    e.codec->sample_rate = audio.sampleRate;
    av_channel_layout_default(&e.codec->ch_layout, 1);
    e.codec->bit_rate = 32000;
    e.codec->time_base = AVRational{1, audio.sampleRate};

    int result = avformat_alloc_output_context2(&e.format, nullptr, "ipod", nullptr);
    if (result < 0 || e.format == nullptr) {
        error = ffmpegError("Cannot create the M4A container", result);
        return std::nullopt;
    }
    if ((e.format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        e.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if ((result = avcodec_open2(e.codec, aac, nullptr)) < 0) {
        error = ffmpegError("Cannot open the AAC encoder", result);
        return std::nullopt;
    }
    constexpr int ioBufferSize = 1 << 16;
    auto* ioBuffer = static_cast<unsigned char*>(av_malloc(ioBufferSize));
    e.io = avio_alloc_context(ioBuffer, ioBufferSize, 1, &file, nullptr, &MemoryFile::write,
                              &MemoryFile::seek);
    if (ioBuffer == nullptr || e.io == nullptr) {
        if (e.io == nullptr) {
            av_free(ioBuffer);
        }
        error = "buffer alloc failed";
        return std::nullopt;
    }
    e.format->pb = e.io;
    e.format->flags |= AVFMT_FLAG_CUSTOM_IO;

    AVStream* stream = avformat_new_stream(e.format, nullptr);
    if (stream == nullptr ||
        (result = avcodec_parameters_from_context(stream->codecpar, e.codec)) < 0) {
        error = ffmpegError("Cannot add the audio track", result);
        return std::nullopt;
    }
    stream->time_base = e.codec->time_base;
    if ((result = avformat_write_header(e.format, nullptr)) < 0) {
        error = ffmpegError("Cannot write the M4A header", result);
        return std::nullopt;
    }

    e.frame = av_frame_alloc();
    e.packet = av_packet_alloc();
    if (e.frame == nullptr || e.packet == nullptr) {
        error = "buffer alloc failed";
        return std::nullopt;
    }
    // The encoder takes frames of exactly its frame size (1024); only the last may be short.
    const int frameSize = e.codec->frame_size > 0 ? e.codec->frame_size : 1024;
    const std::size_t total = audio.samples.size();
    for (std::size_t start = 0; start < total; start += static_cast<std::size_t>(frameSize)) {
        const int count = static_cast<int>(std::min<std::size_t>(frameSize, total - start));
        av_frame_unref(e.frame);
        e.frame->format = AV_SAMPLE_FMT_FLTP;
        e.frame->sample_rate = audio.sampleRate;
        e.frame->nb_samples = count;
        av_channel_layout_default(&e.frame->ch_layout, 1);
        if ((result = av_frame_get_buffer(e.frame, 0)) < 0) {
            error = "buffer alloc failed";
            return std::nullopt;
        }
        auto* plane = reinterpret_cast<float*>(e.frame->data[0]);
        for (int i = 0; i < count; ++i) {
            plane[i] = std::clamp(audio.samples[start + static_cast<std::size_t>(i)], -1.0f, 1.0f);
        }
        e.frame->pts = static_cast<std::int64_t>(start);
        if ((result = avcodec_send_frame(e.codec, e.frame)) < 0 ||
            (result = drain(e, stream)) < 0) {
            error = ffmpegError("AAC encoding failed", result);
            return std::nullopt;
        }
    }
    if ((result = avcodec_send_frame(e.codec, nullptr)) < 0 || (result = drain(e, stream)) < 0 ||
        (result = av_write_trailer(e.format)) < 0) {
        error = ffmpegError("Cannot finish the M4A file", result);
        return std::nullopt;
    }
    avio_flush(e.io);
    return std::move(file.bytes);
}

std::optional<std::vector<std::uint8_t>>
AudioCompressor::compressWAVToM4A(const std::vector<std::uint8_t>& wavData) {
    std::string error;
    auto audio = decodeWAV(wavData, error);
    if (audio && audio->samples.empty()) {
        return std::nullopt; // any container is longer than an empty WAV
    }
    std::optional<std::vector<std::uint8_t>> m4a;
    if (audio) {
        m4a = encode(*audio, error);
    }
    if (!m4a) {
        debugLog("⚠️ Audio compression failed, falling back to WAV: " + error);
        return std::nullopt;
    }
    if (m4a->empty() || m4a->size() >= wavData.size()) {
        return std::nullopt;
    }
    return m4a;
}

} // namespace skrib
