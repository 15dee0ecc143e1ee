#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

namespace skrib::testing {

/// A private sway on its headless back end (1280x800, one seat, no XWayland) in a fresh folder.
/// sway refuses to run as root: root runs it as the user wltest, made when missing. Starting sets
/// WAYLAND_DISPLAY to its socket; it and every program started on it are stopped by their PIDs
/// when the object goes.
class Sway {
public:
    Sway();
    ~Sway();
    Sway(const Sway&) = delete;
    Sway& operator=(const Sway&) = delete;

    /// Why sway could not be started; empty when it runs.
    const std::string& error() const { return error_; }
    const std::string& folder() const { return folder_; } // for the test's own files

    /// Runs the shell command on this compositor; answers its PID (0 when it could not start).
    pid_t start(const std::string& command);

private:
    std::vector<std::pair<pid_t, std::FILE*>> children_; // stopped in reverse order
    std::string folder_;
    std::string error_;
};

} // namespace skrib::testing
