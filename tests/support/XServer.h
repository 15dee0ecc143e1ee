#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace skrib::testing {

/// A private X server for a test: Xvfb (1280x800) on a free display, optionally with a window
/// manager (openbox) and a compositor (xcompmgr). Starting sets DISPLAY for the process;
/// everything is stopped by its PID when the object goes, and DISPLAY is restored.
class XServer {
public:
    struct Options {
        bool windowManager = true;
        bool compositor = false;
    };

    XServer();
    explicit XServer(Options options);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    /// False when something could not be started; `error()` says what.
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& display() const { return display_; } // ":N"

private:
    std::vector<std::pair<pid_t, std::FILE*>> children_; // stopped in reverse order
    std::string display_;
    std::string error_;
    std::optional<std::string> previousDisplay_;
};

} // namespace skrib::testing
