#include "audio/canberra/CanberraSoundPlayer.h"

#include "log/DebugLog.h"

#include <canberra.h>
#include <filesystem>

namespace skrib {

CanberraSoundPlayer::CanberraSoundPlayer(std::string soundsFolder)
    : folder_(std::move(soundsFolder))
    , worker_([this] { run(); }) {}

CanberraSoundPlayer::~CanberraSoundPlayer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void CanberraSoundPlayer::play(const std::string& name) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(name);
    }
    wake_.notify_one();
}

void CanberraSoundPlayer::drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

namespace {

// A context connected to the sound server, or null when there is none.
ca_context* openContext() {
    ca_context* context = nullptr;
    if (ca_context_create(&context) != CA_SUCCESS) {
        return nullptr;
    }
    ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Vantu Skrib",
                            CA_PROP_APPLICATION_ID, "dev.qorin.vantu-skrib", nullptr);
    if (ca_context_open(context) != CA_SUCCESS) {
        ca_context_destroy(context);
        return nullptr;
    }
    return context;
}

} // namespace

void CanberraSoundPlayer::run() {
    // Connect at once, so the first sound (dictation starting) is not late by the set-up.
    ca_context* context = openContext();
    bool reported = false;
    std::uint32_t nextId = 1;
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            break;
        }
        const std::string name = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();

        const std::string path = folder_ + "/" + name + ".wav";
        std::error_code error;
        // Only names of the program's own files: no path may climb out of the folder.
        if (name.find('/') == std::string::npos && std::filesystem::is_regular_file(path, error)) {
            if (context == nullptr) {
                context = openContext();
            }
            const int result =
                context == nullptr
                    ? CA_ERROR_NOTAVAILABLE
                    : ca_context_play(context, nextId++, CA_PROP_MEDIA_FILENAME, path.c_str(),
                                      CA_PROP_EVENT_ID, name.c_str(), CA_PROP_MEDIA_ROLE, "event",
                                      CA_PROP_CANBERRA_CACHE_CONTROL, "volatile", nullptr);
            if (result != CA_SUCCESS) {
                if (!reported) {
                    debugLog("⚠️ Sound feedback unavailable: " + std::string(ca_strerror(result)));
                    reported = true;
                }
                // The next sound tries a fresh connection (the sound server may be back).
                if (context != nullptr) {
                    ca_context_destroy(context);
                    context = nullptr;
                }
            }
        }

        lock.lock();
        busy_ = false;
        if (queue_.empty()) {
            idle_.notify_all();
        }
    }
    lock.unlock();
    if (context != nullptr) {
        ca_context_destroy(context);
    }
}

} // namespace skrib
