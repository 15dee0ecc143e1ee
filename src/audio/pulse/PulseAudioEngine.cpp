#include "audio/pulse/PulseAudioEngine.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace skrib {
namespace {

const char* const noInputDevice = "No input device";

std::string orDefault(std::string text, const char* fallback) {
    return text.empty() ? fallback : text;
}

} // namespace

PulseAudioEngine::~PulseAudioEngine() {
    stop();
}

bool PulseAudioEngine::ensureConnection() {
    if (!connection_) {
        connection_ = std::make_unique<PulseConnection>("Vantu Skrib capture");
        connection_->setReadyHandler([this] {
            if (pa_operation* operation = pa_context_subscribe(
                    connection_->context(), PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr)) {
                pa_operation_unref(operation);
            }
        });
        connection_->setEventHandler([this](pa_subscription_event_type_t type,
                                            std::uint32_t index) { onSourceEvent(type, index); });
        connection_->setFailureHandler([this] { onConnectionLost(); });
    }
    return connection_->connect();
}

int PulseAudioEngine::setInputDevice(AudioDeviceID device) {
    if (device == noAudioDevice) {
        boundSource_.reset();
        return 0;
    }
    if (!ensureConnection()) {
        return -2;
    }
    const std::uint32_t index = device - 1;
    const PulseSourceLookup lookup = connection_->sourceByIndex(index);
    if (!lookup.answered) {
        return -2;
    }
    if (!lookup.source || lookup.source->monitor) {
        return -1;
    }
    boundSource_ = index;
    return 0;
}

std::optional<std::string> PulseAudioEngine::start() {
    if (started_) {
        if (connection_ && connection_->connected()) {
            return std::nullopt;
        }
        stop(); // the server went away: start over
    }
    if (!ensureConnection()) {
        const std::string error = connection_->errorText();
        closeConnection();
        return orDefault(error, "Cannot connect to the sound server");
    }

    PulseSourceLookup lookup;
    if (boundSource_) {
        lookup = connection_->sourceByIndex(*boundSource_);
    } else if (const auto name = connection_->defaultSourceName()) {
        lookup = name->empty() ? PulseSourceLookup{true, std::nullopt}
                               : connection_->sourceByName(*name);
    }
    std::optional<std::string> error;
    if (!lookup.answered) {
        error = orDefault(connection_->errorText(), "The sound server does not answer");
    } else if (!lookup.source || lookup.source->monitor || lookup.source->sampleSpec.rate == 0 ||
               lookup.source->sampleSpec.channels == 0) {
        error = noInputDevice;
    }
    if (error) {
        closeConnection();
        return error;
    }

    PulseConnection::Lock lock(*connection_);
    source_ = *lookup.source;
    format_ = {static_cast<double>(source_.sampleSpec.rate), source_.sampleSpec.channels,
               SampleType::float32, true};
    lossReported_ = false;
    started_ = true;
    return std::nullopt;
}

void PulseAudioEngine::stop() {
    if (connection_) {
        PulseConnection::Lock lock(*connection_);
        closeStream();
        started_ = false;
    }
    closeConnection();
    started_ = false;
}

void PulseAudioEngine::closeConnection() {
    if (!connection_) {
        return;
    }
    // The thread ends while the pointer is still there for callbacks that are running; nothing
    // of this engine runs after this.
    connection_->shutdown();
    connection_.reset();
}

std::optional<std::string> PulseAudioEngine::installTap(std::uint32_t frames,
                                                        TapCallback callback) {
    if (!started_ || !connection_) {
        return "The audio engine is not running";
    }
    if (frames == 0 || !callback) {
        return "Invalid tap";
    }
    const std::uint64_t bufferBytes = std::uint64_t{frames} * format_.channelCount * sizeof(float);
    if (bufferBytes > std::numeric_limits<std::uint32_t>::max() / 2) {
        return "Invalid tap";
    }
    removeTap();

    PulseConnection::Lock lock(*connection_);
    pa_context* context = connection_->context();
    if (context == nullptr || pa_context_get_state(context) != PA_CONTEXT_READY) {
        return orDefault(connection_->errorText(), "Connection terminated");
    }

    // The source's own rate and layout: the server hands the samples over unconverted.
    const pa_sample_spec streamFormat{PA_SAMPLE_FLOAT32NE, source_.sampleSpec.rate,
                                      source_.sampleSpec.channels};
    pa_channel_map channelMap = source_.channelMap;
    if (pa_channel_map_valid(&channelMap) == 0 || channelMap.channels != streamFormat.channels) {
        pa_channel_map_init_extend(&channelMap, streamFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    }
    stream_ = pa_stream_new(context, "Dictation", &streamFormat, &channelMap);
    if (stream_ == nullptr) {
        return std::string(pa_strerror(pa_context_errno(context)));
    }

    // Set before connecting: the first samples may come while installTap still waits.
    tap_ = std::move(callback);
    tapFrames_ = frames;
    pending_.assign(static_cast<std::size_t>(frames) * format_.channelCount, 0.0f);
    pendingBytes_ = 0;
    tapBuffer_ = {format_, frames, {pending_.data()}};
    streamRunning_ = false;
    lossReported_ = false;
    pa_stream_set_state_callback(stream_, &PulseAudioEngine::onStreamState, this);
    pa_stream_set_read_callback(stream_, &PulseAudioEngine::onStreamRead, this);
    pa_stream_set_suspended_callback(stream_, &PulseAudioEngine::onStreamSuspended, this);
    pa_stream_set_moved_callback(stream_, &PulseAudioEngine::onStreamMoved, this);

    // Without an explicit fragment size some sources never call back; ADJUST_LATENCY makes the
    // source deliver at that pace. A quarter of a buffer: a stop then waits for at most that
    // much audio still in the device. DONT_MOVE: the engine belongs to this device, and losing
    // it must fail the stream rather than silently record another microphone.
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(bufferBytes / 4);
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);

    std::optional<std::string> error;
    if (pa_stream_connect_record(stream_, source_.name.c_str(), &attributes, flags) < 0) {
        error = pa_strerror(pa_context_errno(context));
    } else {
        const bool ready = connection_->waitUntil([this] {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (!ready) {
            error = pa_strerror(PA_ERR_TIMEOUT);
        } else if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
            error = pa_strerror(pa_context_errno(context));
        } else if (pa_stream_get_device_index(stream_) != source_.index) {
            // Another source took the name since start.
            error = "The input device is gone";
        }
    }
    if (error) {
        closeStream();
    }
    return error;
}

void PulseAudioEngine::removeTap() {
    if (!connection_) {
        return;
    }
    PulseConnection::Lock lock(*connection_);
    deliverTail();
    closeStream();
}

void PulseAudioEngine::deliverTail() {
    if (stream_ == nullptr || connection_->inLoopThread()) {
        return;
    }
    // The server's reply tells how far the source has recorded (its queue's write index, and
    // what the device still holds); wait until the reading has come that far.
    if (pa_stream_get_state(stream_) == PA_STREAM_READY &&
        connection_->complete(pa_stream_update_timing_info(stream_, nullptr, nullptr), tailLimit)) {
        const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
        if (timing != nullptr && timing->read_index_corrupt == 0) {
            const auto held =
                pa_usec_to_bytes(timing->source_usec, pa_stream_get_sample_spec(stream_));
            const std::int64_t end = timing->write_index + static_cast<std::int64_t>(held);
            connection_->waitUntil(
                [this, end] {
                    const pa_timing_info* now = pa_stream_get_timing_info(stream_);
                    return now == nullptr || now->read_index >= end;
                },
                tailLimit);
        }
    }
    const std::size_t frameBytes = format_.channelCount * sizeof(float);
    if (frameBytes > 0 && pendingBytes_ >= frameBytes) {
        AudioTapBuffer last = tapBuffer_;
        last.frameLength = static_cast<std::uint32_t>(pendingBytes_ / frameBytes);
        pendingBytes_ = 0;
        deliver(last);
    }
}

void PulseAudioEngine::setConfigurationChangeHandler(std::function<void()> handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
}

void PulseAudioEngine::closeStream() {
    if (stream_ == nullptr) {
        return;
    }
    // Callbacks off first: closing our own stream is no configuration change, and no sample
    // may reach the tap once this returns.
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
    streamRunning_ = false;
    tap_ = nullptr;
    pendingBytes_ = 0;
}

void PulseAudioEngine::onStreamState(pa_stream* stream, void* self) {
    auto* engine = static_cast<PulseAudioEngine*>(self);
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        engine->streamRunning_ = true;
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        // The server ended a running stream: the source was unplugged or the server left.
        if (engine->streamRunning_) {
            engine->reportLoss();
        }
        break;
    default:
        break;
    }
    engine->connection_->signal();
}

void PulseAudioEngine::onStreamRead(pa_stream* stream, std::size_t, void* self) {
    auto* engine = static_cast<PulseAudioEngine*>(self);
    for (;;) {
        const std::size_t readable = pa_stream_readable_size(stream);
        if (readable == 0 || readable == static_cast<std::size_t>(-1)) {
            break;
        }
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        if (data != nullptr) { // null: a hole in the stream, dropped
            engine->append(static_cast<const std::byte*>(data), bytes);
        }
        pa_stream_drop(stream);
    }
    engine->connection_->signal(); // a stop may wait for these samples
}

void PulseAudioEngine::append(const std::byte* data, std::size_t bytes) {
    const std::size_t bufferBytes = pending_.size() * sizeof(float);
    auto* buffer = reinterpret_cast<std::byte*>(pending_.data());
    while (bytes > 0 && bufferBytes > 0) {
        const std::size_t take = std::min(bytes, bufferBytes - pendingBytes_);
        std::memcpy(buffer + pendingBytes_, data, take);
        pendingBytes_ += take;
        data += take;
        bytes -= take;
        if (pendingBytes_ < bufferBytes) {
            continue;
        }
        pendingBytes_ = 0;
        deliver(tapBuffer_);
    }
}

void PulseAudioEngine::deliver(const AudioTapBuffer& buffer) {
    if (tap_) {
        try {
            tap_(buffer);
        } catch (...) {
            // An exception must not unwind through libpulse's C frames; the buffer is lost.
        }
    }
}

void PulseAudioEngine::onStreamSuspended(pa_stream* stream, void* self) {
    auto* engine = static_cast<PulseAudioEngine*>(self);
    if (pa_stream_is_suspended(stream) == 1) {
        engine->reportChange();
    }
}

void PulseAudioEngine::onStreamMoved(pa_stream*, void* self) {
    static_cast<PulseAudioEngine*>(self)->reportChange();
}

void PulseAudioEngine::onSourceEvent(pa_subscription_event_type_t type, std::uint32_t index) {
    if (!started_ || index != source_.index ||
        (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SOURCE) {
        return;
    }
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        reportLoss();
        return;
    }
    if (kind != PA_SUBSCRIPTION_EVENT_CHANGE) {
        return;
    }
    // Change events also come for volume and mute; only a new sample format matters.
    pa_operation* operation = pa_context_get_source_info_by_index(
        connection_->context(), index,
        [](pa_context*, const pa_source_info* info, int, void* self) {
            auto* engine = static_cast<PulseAudioEngine*>(self);
            if (info == nullptr || !engine->started_ || info->index != engine->source_.index) {
                return;
            }
            const pa_sample_spec& known = engine->source_.sampleSpec;
            if (info->sample_spec.rate != known.rate ||
                info->sample_spec.channels != known.channels) {
                engine->source_.sampleSpec = info->sample_spec;
                engine->reportChange();
            }
        },
        this);
    if (operation != nullptr) {
        pa_operation_unref(operation);
    }
}

void PulseAudioEngine::onConnectionLost() {
    if (started_) {
        reportLoss();
    }
}

void PulseAudioEngine::reportLoss() {
    if (lossReported_) {
        return;
    }
    lossReported_ = true;
    reportChange();
}

void PulseAudioEngine::reportChange() {
    std::lock_guard lock(handlerMutex_);
    // A copy: the handler may replace itself while it runs.
    const std::function<void()> handler = handler_;
    if (handler) {
        handler();
    }
}

} // namespace skrib
