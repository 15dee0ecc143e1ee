#include "audio/pulse/PulseConnection.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace skrib {
namespace {

bool equals(const char* value, const char* expected) {
    return value != nullptr && std::strcmp(value, expected) == 0;
}

// A wake-up at the end of a wait, so waiting never depends on the server answering.
struct Deadline {
    pa_threaded_mainloop* loop;
    bool expired = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* deadline = static_cast<Deadline*>(userdata);
    deadline->expired = true;
    pa_threaded_mainloop_signal(deadline->loop, 0);
}

struct LookupResult {
    bool error = false;
    std::optional<PulseSource> source;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* result = static_cast<LookupResult*>(userdata);
    if (eol < 0) {
        result->error = true;
    } else if (info != nullptr) {
        result->source = PulseConnection::describe(*info);
    }
}

} // namespace

PulseConnection::Lock::Lock(PulseConnection& connection)
    : loop_(connection.loop_ != nullptr && !connection.inLoopThread() ? connection.loop_
                                                                      : nullptr) {
    if (loop_ != nullptr) {
        pa_threaded_mainloop_lock(loop_);
    }
}

PulseConnection::Lock::~Lock() {
    if (loop_ != nullptr) {
        pa_threaded_mainloop_unlock(loop_);
    }
}

PulseConnection::PulseConnection(std::string clientName)
    : clientName_(std::move(clientName)) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) {
        error_ = "Cannot create a PulseAudio main loop";
        return;
    }
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        error_ = "Cannot start the PulseAudio main loop thread";
    }
}

PulseConnection::~PulseConnection() {
    shutdown();
}

void PulseConnection::shutdown() {
    if (loop_ == nullptr) {
        return;
    }
    pa_threaded_mainloop_lock(loop_);
    releaseContext();
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

bool PulseConnection::inLoopThread() const {
    return loop_ != nullptr && pa_threaded_mainloop_in_thread(loop_) != 0;
}

void PulseConnection::signal() {
    if (loop_ != nullptr) {
        pa_threaded_mainloop_signal(loop_, 0);
    }
}

bool PulseConnection::connect(std::chrono::milliseconds retryInterval) {
    if (loop_ == nullptr) {
        return false;
    }
    Lock lock(*this);
    if (context_ != nullptr) {
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) {
            return true;
        }
        if (!PA_CONTEXT_IS_GOOD(state)) {
            releaseContext();
        }
    }
    if (inLoopThread()) {
        return false; // cannot wait for the loop on the loop
    }
    const auto now = std::chrono::steady_clock::now();
    if (context_ == nullptr) {
        if (lastFailure_ && retryInterval.count() > 0) {
            const auto holdOff =
                lastFailureTimedOut_
                    ? std::max<std::chrono::milliseconds>(retryInterval, silentServerHoldOff)
                    : retryInterval;
            if (now - *lastFailure_ < holdOff) {
                return false;
            }
        }
        pa_proplist* properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Vantu Skrib");
        pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "vantu-skrib");
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_),
                                                clientName_.c_str(), properties);
        pa_proplist_free(properties);
        if (context_ == nullptr) {
            error_ = "Cannot create a PulseAudio context";
            lastFailure_ = now;
            lastFailureTimedOut_ = false;
            return false;
        }
        pa_context_set_state_callback(context_, &PulseConnection::onContextState, this);
        pa_context_set_subscribe_callback(context_, &PulseConnection::onContextEvent, this);
        // No autospawn: the program uses the user's sound server, never starts its own.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            rememberError();
            releaseContext();
            lastFailure_ = now;
            lastFailureTimedOut_ = false;
            return false;
        }
    }
    const bool ready =
        waitUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; });
    if (!ready) {
        lastFailureTimedOut_ = PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
        if (lastFailureTimedOut_) {
            error_ = pa_strerror(PA_ERR_TIMEOUT);
        } else {
            rememberError();
        }
        releaseContext();
        lastFailure_ = std::chrono::steady_clock::now();
        return false;
    }
    lastFailure_.reset();
    return true;
}

bool PulseConnection::connected() {
    Lock lock(*this);
    return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

std::string PulseConnection::errorText() {
    Lock lock(*this);
    return error_;
}

void PulseConnection::setReadyHandler(std::function<void()> handler) {
    Lock lock(*this);
    readyHandler_ = std::move(handler);
}

void PulseConnection::setFailureHandler(std::function<void()> handler) {
    Lock lock(*this);
    failureHandler_ = std::move(handler);
}

void PulseConnection::setEventHandler(
    std::function<void(pa_subscription_event_type_t, std::uint32_t)> handler) {
    Lock lock(*this);
    eventHandler_ = std::move(handler);
}

void PulseConnection::onContextState(pa_context* context, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        if (connection->readyHandler_) {
            connection->readyHandler_();
        }
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        connection->rememberError();
        if (connection->failureHandler_) {
            connection->failureHandler_();
        }
        break;
    default:
        break;
    }
    connection->signal();
}

void PulseConnection::onContextEvent(pa_context*, pa_subscription_event_type_t type,
                                     std::uint32_t index, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    if (connection->eventHandler_) {
        connection->eventHandler_(type, index);
    }
}

void PulseConnection::onSignal(pa_operation*, void* self) {
    static_cast<PulseConnection*>(self)->signal();
}

void PulseConnection::releaseContext() {
    if (context_ == nullptr) {
        return;
    }
    // Our callbacks go first, so tearing down reports nothing to the owner.
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

void PulseConnection::rememberError() {
    if (context_ != nullptr) {
        error_ = pa_strerror(pa_context_errno(context_));
    }
}

bool PulseConnection::waitUntil(const std::function<bool()>& done,
                                std::chrono::milliseconds limit) {
    if (loop_ == nullptr || inLoopThread()) {
        return done();
    }
    Deadline deadline{loop_};
    struct timeval when {};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(limit.count()) * PA_USEC_PER_MSEC);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    pa_time_event* event = api->time_new(api, &when, &onDeadline, &deadline);
    while (!done() && !deadline.expired && context_ != nullptr &&
           PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        pa_threaded_mainloop_wait(loop_);
    }
    api->time_free(event);
    return done();
}

bool PulseConnection::complete(pa_operation* operation, std::chrono::milliseconds limit) {
    if (operation == nullptr) {
        rememberError();
        return false;
    }
    pa_operation_set_state_callback(operation, &PulseConnection::onSignal, this);
    waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
              limit);
    const pa_operation_state_t state = pa_operation_get_state(operation);
    if (state == PA_OPERATION_RUNNING) {
        // Its callback must never run: it would write into the waiter's finished frame.
        pa_operation_cancel(operation);
        error_ = pa_strerror(PA_ERR_TIMEOUT);
    }
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
    return state == PA_OPERATION_DONE;
}

std::optional<std::vector<PulseSource>> PulseConnection::sources() {
    if (loop_ == nullptr || inLoopThread()) {
        return std::nullopt;
    }
    Lock lock(*this);
    if (context_ == nullptr || pa_context_get_state(context_) != PA_CONTEXT_READY) {
        return std::nullopt;
    }
    struct Result {
        bool error = false;
        std::vector<PulseSource> list;
    } result;
    auto* operation = pa_context_get_source_info_list(
        context_,
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
            auto* result = static_cast<Result*>(userdata);
            if (eol < 0) {
                result->error = true;
            } else if (info != nullptr) {
                result->list.push_back(describe(*info));
            }
        },
        &result);
    if (!complete(operation) || result.error) {
        rememberError();
        return std::nullopt;
    }
    return std::move(result.list);
}

PulseSourceLookup PulseConnection::lookup(const std::function<pa_operation*(void*)>& start) {
    if (loop_ == nullptr || inLoopThread()) {
        return {};
    }
    Lock lock(*this);
    if (context_ == nullptr || pa_context_get_state(context_) != PA_CONTEXT_READY) {
        return {};
    }
    LookupResult result;
    if (!complete(start(&result))) {
        return {};
    }
    if (result.error) {
        rememberError();
        // An error on a healthy connection means there is no such source.
        return {pa_context_get_state(context_) == PA_CONTEXT_READY, std::nullopt};
    }
    return {true, std::move(result.source)};
}

PulseSourceLookup PulseConnection::sourceByIndex(std::uint32_t index) {
    return lookup([this, index](void* result) {
        return pa_context_get_source_info_by_index(context_, index, &onSourceInfo, result);
    });
}

PulseSourceLookup PulseConnection::sourceByName(const std::string& name) {
    return lookup([this, &name](void* result) {
        return pa_context_get_source_info_by_name(context_, name.c_str(), &onSourceInfo, result);
    });
}

std::optional<std::string> PulseConnection::defaultSourceName() {
    if (loop_ == nullptr || inLoopThread()) {
        return std::nullopt;
    }
    Lock lock(*this);
    if (context_ == nullptr || pa_context_get_state(context_) != PA_CONTEXT_READY) {
        return std::nullopt;
    }
    std::optional<std::string> name;
    auto* operation = pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            if (info != nullptr) {
                *static_cast<std::optional<std::string>*>(userdata) =
                    info->default_source_name != nullptr ? info->default_source_name : "";
            }
        },
        &name);
    if (!complete(operation)) {
        return std::nullopt;
    }
    return name;
}

PulseSource PulseConnection::describe(const pa_source_info& info) {
    PulseSource source;
    source.index = info.index;
    source.name = info.name != nullptr ? info.name : "";
    source.description = info.description != nullptr ? info.description : "";
    source.monitor = info.monitor_of_sink != PA_INVALID_INDEX ||
                     equals(pa_proplist_gets(info.proplist, PA_PROP_DEVICE_CLASS), "monitor");
    const char* formFactor = pa_proplist_gets(info.proplist, PA_PROP_DEVICE_FORM_FACTOR);
    const char* bus = pa_proplist_gets(info.proplist, PA_PROP_DEVICE_BUS);
    source.builtIn =
        equals(formFactor, "internal") || equals(bus, "pci") || equals(bus, "platform");
    source.sampleSpec = info.sample_spec;
    source.channelMap = info.channel_map;
    return source;
}

} // namespace skrib
