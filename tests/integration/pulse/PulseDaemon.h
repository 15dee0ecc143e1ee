#pragma once

#include "platform/AudioSystem.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace skrib::testing {

/// Runs a program (its arguments hold no single quote); answers its exit status and output.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::vector<std::string>& arguments);

/// Polls `done` until it answers true or `limit` passes; answers `done()`.
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(5));

/// A private PulseAudio daemon for one test, in a fresh temporary folder: a null sink "out", a
/// pipe source "mic" (48 kHz stereo, "USB Microphone", on USB, the default) fed through
/// `micFifo()`, and a clock-driven null source "builtin" ("Built-in Microphone", internal, PCI).
/// While it lives, PULSE_SERVER points this process at it; it is stopped by its PID at the end.
class PulseDaemon {
public:
    PulseDaemon();
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    /// Empty while the daemon answers; otherwise why not.
    const std::string& error() const { return error_; }
    const std::string& folder() const { return folder_; }
    std::string micFifo() const { return folder_ + "/mic.fifo"; }

    CommandResult pactl(std::vector<std::string> arguments) const;
    /// Loads a module; answers the index it got (unload-module takes it), or none.
    std::optional<int> loadModule(std::vector<std::string> arguments) const;
    /// The device ID the adapter gives a source: the server's index + 1 (noAudioDevice: none).
    AudioDeviceID idOf(const std::string& sourceName) const;
    /// Kills the daemon now: the server vanishes under its clients.
    void kill();

private:
    std::string folder_;
    pid_t pid_ = -1;
    std::FILE* process_ = nullptr; // the daemon, as popen started it
    std::string error_;
    std::optional<std::string> previousServer_;
};

/// Every test gets its own daemon.
class PulseFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(daemon.error(), ""); }

    PulseDaemon daemon;
};

} // namespace skrib::testing
