#pragma once

#include "platform/SoundPlayer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace skrib {

/// Plays the feedback sounds, WAV files named after the sounds in one folder, through
/// libcanberra on its own thread: `play` only queues, so the caller never waits for the sound
/// server. A name without a file, or a sound server that cannot be reached, plays nothing.
class CanberraSoundPlayer final : public SoundPlayer {
public:
    explicit CanberraSoundPlayer(std::string soundsFolder);
    ~CanberraSoundPlayer() override;
    CanberraSoundPlayer(const CanberraSoundPlayer&) = delete;
    CanberraSoundPlayer& operator=(const CanberraSoundPlayer&) = delete;

    void play(const std::string& name) override;

    /// Waits until every queued sound has been handed to the sound server (for tests).
    void drain();

private:
    void run();

    std::string folder_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::string> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace skrib
