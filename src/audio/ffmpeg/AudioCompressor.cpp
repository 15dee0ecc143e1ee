#include "audio/ffmpeg/AudioCompressor.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace skrib {
namespace {

std::string ffmpegError(const char* what, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

// An M4A file growing in memory, written and patched by the muxer through custom I/O.
struct MemoryFile {
    std::string bytes;
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

// One M4A file being written: opened, fed samples in pieces of any size, closed.
class M4AWriter {
public:
    bool open(int sampleRate, std::string& error);
    /// Stops early (false) once `abandoned` is set.
    bool write(std::span<const std::int16_t> samples, const std::atomic<bool>& abandoned,
               std::string& error);
    std::optional<std::string> close(std::string& error);

private:
    bool sendFrame(std::string& error);

    MemoryFile file_; // written through e_, so it goes last
    Encoding e_;
    AVStream* stream_ = nullptr;
    int sampleRate_ = 0;
    // The encoder takes frames of exactly its frame size (1024); only the last may be short.
    std::size_t frameSize_ = 1024;
    std::vector<float> frame_;
    std::int64_t samplesSent_ = 0;
};

bool M4AWriter::open(int sampleRate, std::string& error) {
    // FFmpeg's own chatter (encoder statistics, container hints) is not for the user's terminal;
    // failures come back through `error`.
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_ERROR);
        return true;
    }();
    (void)quiet;
    sampleRate_ = sampleRate;
    const AVCodec* aac = avcodec_find_encoder_by_name("aac");
    if (aac == nullptr) {
        error = "No AAC encoder available.";
        return false;
    }
    e_.codec = avcodec_alloc_context3(aac);
    if (e_.codec == nullptr) {
        error = "buffer alloc failed";
        return false;
    }
    e_.codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    e_.codec->sample_rate = sampleRate;
    av_channel_layout_default(&e_.codec->ch_layout, 1);
    e_.codec->bit_rate = 32000;
    e_.codec->time_base = AVRational{1, sampleRate};

    int result = avformat_alloc_output_context2(&e_.format, nullptr, "ipod", nullptr);
    if (result < 0 || e_.format == nullptr) {
        error = ffmpegError("Cannot create the M4A container", result);
        return false;
    }
    if ((e_.format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        e_.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if ((result = avcodec_open2(e_.codec, aac, nullptr)) < 0) {
        error = ffmpegError("Cannot open the AAC encoder", result);
        return false;
    }
    constexpr int ioBufferSize = 1 << 16;
    auto* ioBuffer = static_cast<unsigned char*>(av_malloc(ioBufferSize));
    e_.io = avio_alloc_context(ioBuffer, ioBufferSize, 1, &file_, nullptr, &MemoryFile::write,
                               &MemoryFile::seek);
    if (ioBuffer == nullptr || e_.io == nullptr) {
        if (e_.io == nullptr) {
            av_free(ioBuffer);
        }
        error = "buffer alloc failed";
        return false;
    }
    e_.format->pb = e_.io;
    e_.format->flags |= AVFMT_FLAG_CUSTOM_IO;

    stream_ = avformat_new_stream(e_.format, nullptr);
    if (stream_ == nullptr ||
        (result = avcodec_parameters_from_context(stream_->codecpar, e_.codec)) < 0) {
        error = ffmpegError("Cannot add the audio track", result);
        return false;
    }
    stream_->time_base = e_.codec->time_base;
    if ((result = avformat_write_header(e_.format, nullptr)) < 0) {
        error = ffmpegError("Cannot write the M4A header", result);
        return false;
    }
    e_.frame = av_frame_alloc();
    e_.packet = av_packet_alloc();
    if (e_.frame == nullptr || e_.packet == nullptr) {
        error = "buffer alloc failed";
        return false;
    }
    if (e_.codec->frame_size > 0) {
        frameSize_ = static_cast<std::size_t>(e_.codec->frame_size);
    }
    frame_.reserve(frameSize_);
    // Address space for about two hours at this bit rate, touched only as the file grows: the
    // file never moves, so it is never held twice, and no old copy is left to the allocator.
    file_.bytes.reserve(32 << 20);
    return true;
}

bool M4AWriter::write(std::span<const std::int16_t> samples, const std::atomic<bool>& abandoned,
                      std::string& error) {
    for (const std::int16_t sample : samples) {
        frame_.push_back(static_cast<float>(sample) / 32768.0f);
        if (frame_.size() == frameSize_ && (abandoned || !sendFrame(error))) {
            return false;
        }
    }
    return true;
}

bool M4AWriter::sendFrame(std::string& error) {
    av_frame_unref(e_.frame);
    e_.frame->format = AV_SAMPLE_FMT_FLTP;
    e_.frame->sample_rate = sampleRate_;
    e_.frame->nb_samples = static_cast<int>(frame_.size());
    av_channel_layout_default(&e_.frame->ch_layout, 1);
    if (av_frame_get_buffer(e_.frame, 0) < 0) {
        error = "buffer alloc failed";
        return false;
    }
    std::memcpy(e_.frame->data[0], frame_.data(), frame_.size() * sizeof(float));
    e_.frame->pts = samplesSent_;
    samplesSent_ += static_cast<std::int64_t>(frame_.size());
    frame_.clear();
    int result = 0;
    if ((result = avcodec_send_frame(e_.codec, e_.frame)) < 0 ||
        (result = drain(e_, stream_)) < 0) {
        error = ffmpegError("AAC encoding failed", result);
        return false;
    }
    return true;
}

std::optional<std::string> M4AWriter::close(std::string& error) {
    if (!frame_.empty() && !sendFrame(error)) {
        return std::nullopt;
    }
    int result = 0;
    if ((result = avcodec_send_frame(e_.codec, nullptr)) < 0 || (result = drain(e_, stream_)) < 0 ||
        (result = av_write_trailer(e_.format)) < 0) {
        error = ffmpegError("Cannot finish the M4A file", result);
        return std::nullopt;
    }
    avio_flush(e_.io);
    return std::move(file_.bytes);
}

// What the encoder object and its thread share; the thread keeps it as long as it runs, so the
// object may go away at any time.
struct Pipe {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<std::int16_t> pending;
    bool ended = false;
    AudioEncoder::Finished finished;
    std::atomic<bool> abandoned{false}; // set under the lock
};

// The encoder's thread: takes what was handed over, whole, and encodes it outside the lock.
void encode(const std::shared_ptr<Pipe>& pipe, int sampleRate) {
    std::string error;
    std::optional<std::string> file;
    {
        M4AWriter writer;
        bool ok = writer.open(sampleRate, error);
        std::vector<std::int16_t> batch;
        for (bool ended = false; !ended;) {
            {
                std::unique_lock lock(pipe->mutex);
                pipe->wake.wait(
                    lock, [&] { return !pipe->pending.empty() || pipe->ended || pipe->abandoned; });
                if (pipe->abandoned) {
                    return;
                }
                batch.swap(pipe->pending);
                ended = pipe->ended;
            }
            ok = ok && writer.write(batch, pipe->abandoned, error);
            batch.clear();
        }
        if (ok) {
            file = writer.close(error);
        }
    } // the FFmpeg objects are gone before the file is handed on
    AudioEncoder::Finished finished;
    {
        std::lock_guard lock(pipe->mutex);
        if (pipe->abandoned) {
            return;
        }
        finished = std::move(pipe->finished);
    }
    finished(std::move(file), std::move(error));
}

class M4AEncoder final : public AudioEncoder {
public:
    explicit M4AEncoder(int sampleRate)
        : thread_([pipe = pipe_, sampleRate] { encode(pipe, sampleRate); }) {}
    ~M4AEncoder() override {
        {
            std::lock_guard lock(pipe_->mutex);
            pipe_->abandoned = true;
        }
        pipe_->wake.notify_one();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach(); // inside `finished`: the thread ends on its own right after
        } else {
            thread_.join();
        }
    }
    M4AEncoder(const M4AEncoder&) = delete;
    M4AEncoder& operator=(const M4AEncoder&) = delete;

    void append(std::span<const std::int16_t> samples) override {
        {
            std::lock_guard lock(pipe_->mutex);
            pipe_->pending.insert(pipe_->pending.end(), samples.begin(), samples.end());
        }
        pipe_->wake.notify_one();
    }
    void finish(Finished finished) override {
        {
            std::lock_guard lock(pipe_->mutex);
            pipe_->finished = std::move(finished);
            pipe_->ended = true;
        }
        pipe_->wake.notify_one();
    }

private:
    std::shared_ptr<Pipe> pipe_ = std::make_shared<Pipe>();
    std::thread thread_;
};

} // namespace

std::unique_ptr<AudioEncoder> AudioCompressor::start(int sampleRate) {
    return std::make_unique<M4AEncoder>(sampleRate);
}

} // namespace skrib
