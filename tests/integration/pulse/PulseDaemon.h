#pragma once

#include "ScopedEnvironment.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace skrib::testing {

/// What a finished program printed (standard output and error together) and its exit status.
struct CommandResult {
    int status = -1;
    std::string output;
};

/// Runs a program (no shell) with the process's environment plus `environment` overrides.
CommandResult runCommand(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment = {});

/// Polls `done` until it answers true or `limit` passes; answers `done()`.
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(5));

/// A private PulseAudio daemon for one test, in a fresh temporary folder: the native protocol
/// on a unix socket there, a null sink "out", a pipe source "mic" (48 kHz stereo s16le,
/// "USB Microphone", on USB) fed through `micFifo()`, and a clock-driven null source "builtin"
/// ("Built-in Microphone", internal, PCI). "mic" is the default source.
///
/// While it lives, PULSE_SERVER points the process at it, and the process's configuration
/// folder (where libpulse keeps its files) is in the temporary folder. The destructor kills the
/// daemon by its PID and removes the folder; nothing is left behind.
class PulseDaemon {
public:
    PulseDaemon();
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    /// Whether the daemon answers; when not, `error()` says why.
    bool running() const { return running_; }
    const std::string& error() const { return error_; }

    const std::string& folder() const { return folder_; }
    std::string server() const { return "unix:" + folder_ + "/pulse.sock"; }
    std::string micFifo() const { return folder_ + "/mic.fifo"; }

    /// Runs pactl against this daemon.
    CommandResult pactl(const std::vector<std::string>& arguments) const;
    /// Loads a module; answers the index it got, or none.
    std::optional<int> loadModule(const std::string& module,
                                  const std::vector<std::string>& arguments) const;
    /// Unloads one module by its index.
    bool unloadModule(int index) const;
    /// The index of every source by name, as `pactl list short sources` tells.
    std::map<std::string, std::uint32_t> sourceIndices() const;

    /// Kills the daemon now (the server vanishes under its clients).
    void kill();
    /// What the daemon logged.
    std::string log() const;

    /// The environment a client program needs to reach this daemon.
    std::map<std::string, std::string> childEnvironment() const;

private:

    std::string folder_;
    pid_t pid_ = -1;
    bool running_ = false;
    std::string error_;
    ScopedEnvironment environment_;
};

} // namespace skrib::testing
