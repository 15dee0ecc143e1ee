#include "audio/pulse/PulseAudioSystem.h"

#include "audio/pulse/PulseAudioEngine.h"
#include "audio/pulse/PulseConnection.h"

#include <chrono>
#include <vector>

namespace skrib {
namespace {

// A dead server answers at once, a silent one only after the connection timeout: retrying at
// most this often keeps the main thread responsive either way.
constexpr std::chrono::milliseconds reconnectInterval{1000};

} // namespace

PulseAudioSystem::PulseAudioSystem()
    : connection_(std::make_unique<PulseConnection>("Vantu Skrib devices")) {
    connection_->setReadyHandler([this] { onReady(); });
    connection_->setEventHandler([this](pa_subscription_event_type_t type, std::uint32_t) {
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER && kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
            readDefaultSource();
        }
    });
    connection_->connect();
}

PulseAudioSystem::~PulseAudioSystem() {
    // Stops the PulseAudio thread first (while its callbacks can still reach the connection):
    // no callback runs into the members going away.
    connection_->shutdown();
}

std::optional<std::uint32_t> PulseAudioSystem::sourceIndex(AudioDeviceID device) {
    if (device == noAudioDevice) {
        return std::nullopt;
    }
    return device - 1;
}

AudioDeviceID PulseAudioSystem::deviceID(std::uint32_t sourceIndex) {
    return sourceIndex + 1; // PA_INVALID_INDEX wraps to noAudioDevice
}

bool PulseAudioSystem::connect() {
    return connection_->connect(reconnectInterval);
}

AudioDeviceID PulseAudioSystem::defaultInputDevice() {
    if (!connect()) {
        return noAudioDevice;
    }
    const auto name = connection_->defaultSourceName();
    if (!name || name->empty()) {
        return noAudioDevice;
    }
    const auto lookup = connection_->sourceByName(*name);
    if (!lookup.source || lookup.source->monitor) {
        return noAudioDevice;
    }
    return deviceID(lookup.source->index);
}

std::optional<std::string> PulseAudioSystem::deviceName(AudioDeviceID device) {
    const auto index = sourceIndex(device);
    if (!index || !connect()) {
        return std::nullopt;
    }
    const auto lookup = connection_->sourceByIndex(*index);
    if (!lookup.source || lookup.source->monitor) {
        return std::nullopt;
    }
    return lookup.source->displayName();
}

std::optional<std::vector<AudioDevice>> PulseAudioSystem::devices() {
    if (!connect()) {
        return std::nullopt;
    }
    const auto sources = connection_->sources();
    if (!sources) {
        return std::nullopt;
    }
    std::vector<AudioDevice> result;
    for (const PulseSource& source : *sources) {
        if (source.monitor) {
            continue;
        }
        result.push_back({deviceID(source.index), source.displayName(), true, source.builtIn});
    }
    return result;
}

AudioSystem::ListenerID PulseAudioSystem::addDefaultInputListener(std::function<void()> listener) {
    ListenerID id = 0;
    {
        std::lock_guard lock(listenersMutex_);
        id = nextListener_++;
        listeners_.emplace(id, std::make_shared<std::function<void()>>(std::move(listener)));
    }
    // Watching needs a live connection; outside the listeners' lock, which the PulseAudio
    // thread takes while it holds its own.
    connect();
    return id;
}

bool PulseAudioSystem::removeDefaultInputListener(ListenerID listener) {
    std::lock_guard lock(listenersMutex_);
    return listeners_.erase(listener) > 0;
}

std::unique_ptr<AudioEngine> PulseAudioSystem::createEngine() {
    return std::make_unique<PulseAudioEngine>();
}

void PulseAudioSystem::onReady() {
    pa_context* context = connection_->context();
    if (pa_operation* operation =
            pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
        pa_operation_unref(operation);
    }
    readDefaultSource();
}

void PulseAudioSystem::readDefaultSource() {
    pa_operation* operation = pa_context_get_server_info(
        connection_->context(),
        [](pa_context*, const pa_server_info* info, void* self) {
            if (info != nullptr) {
                static_cast<PulseAudioSystem*>(self)->defaultSourceRead(
                    info->default_source_name != nullptr ? info->default_source_name : "");
            }
        },
        this);
    if (operation != nullptr) {
        pa_operation_unref(operation);
    }
}

void PulseAudioSystem::defaultSourceRead(const std::string& name) {
    // Server change events also come for sample-rate or default-sink changes: only a different
    // default source counts. The first reading has nothing to compare with.
    const bool changed = lastDefaultSource_ && *lastDefaultSource_ != name;
    lastDefaultSource_ = name;
    if (changed) {
        notifyListeners();
    }
}

void PulseAudioSystem::notifyListeners() {
    std::lock_guard lock(listenersMutex_);
    std::vector<ListenerID> ids;
    for (const auto& entry : listeners_) {
        ids.push_back(entry.first);
    }
    for (ListenerID id : ids) {
        // Looked up again: an earlier listener may have removed this one.
        const auto found = listeners_.find(id);
        if (found == listeners_.end()) {
            continue;
        }
        const std::shared_ptr<std::function<void()>> listener = found->second;
        if (*listener) {
            (*listener)();
        }
    }
}

} // namespace skrib
