#pragma once

#include <X11/Xlib.h>
#include <memory>
#include <string>

namespace skrib {

/// An Xlib connection of the program's own. Xlib's default handlers end the process on any
/// failed request and when the server goes away; on these connections a failed request is
/// counted instead, and a lost server only marks the connection lost.
class X11Connection {
public:
    /// None when the display cannot be opened. An empty name means $DISPLAY.
    static std::unique_ptr<X11Connection> open(const std::string& displayName);
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    Display* display() const { return display_; }
    int fileDescriptor() const { return ConnectionNumber(display_); }
    Window root() const { return DefaultRootWindow(display_); }
    /// The server went away; nothing may be sent any more.
    bool lost() const { return lost_; }
    /// How many requests have failed so far (complete after `sync()`).
    unsigned long errorCount() const { return errors_; }
    /// Waits until the server has handled every request sent; false when the connection is lost.
    bool sync();

private:
    explicit X11Connection(Display* display);
    static int onError(Display* display, XErrorEvent* error);
    static int onIOError(Display* display);
    static void onConnectionLost(Display* display, void* connection);

    Display* display_;
    bool lost_ = false;
    unsigned long errors_ = 0;
};

/// Watches the requests made on a connection during its life.
class X11ErrorTrap {
public:
    explicit X11ErrorTrap(X11Connection& connection)
        : connection_(connection)
        , start_(connection.errorCount()) {}
    /// Syncs, then says whether every request since the trap was made succeeded.
    bool ok() { return connection_.sync() && connection_.errorCount() == start_; }

private:
    X11Connection& connection_;
    unsigned long start_;
};

} // namespace skrib
