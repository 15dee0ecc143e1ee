#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace skrib::testing {

/// A private X server for a test: Xvfb on a free display, optionally with a window manager
/// (openbox), a compositor (xcompmgr) and a system tray (trayer). Starting sets DISPLAY for the
/// process; everything is stopped by its PID when the object goes, and DISPLAY is restored.
class XServer {
public:
    struct Options {
        bool windowManager = true;
        bool compositor = false;
        bool tray = false;
        int width = 1280;
        int height = 800;
    };

    XServer();
    explicit XServer(Options options);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    /// False when something could not be started; `error()` says what.
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    /// ":N"
    const std::string& display() const { return display_; }

private:
    pid_t spawn(const std::vector<std::string>& argv);
    bool waitForRootProperty(const char* atom, bool selection, int timeoutMs);

    std::vector<pid_t> children_; // started in this order, stopped in reverse
    std::string display_;
    std::string error_;
    std::string previousDisplay_;
    bool hadDisplay_ = false;
};

} // namespace skrib::testing
