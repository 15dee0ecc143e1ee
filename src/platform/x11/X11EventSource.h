#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace skrib {

/// Calls back on the main thread whenever an X connection's socket has data to read.
class X11EventSource {
public:
    /// Needs a Qt application object; see `available()`.
    X11EventSource(int fileDescriptor, std::function<void()> onReadable);
    ~X11EventSource();
    X11EventSource(const X11EventSource&) = delete;
    X11EventSource& operator=(const X11EventSource&) = delete;

    /// Whether there is an application object whose event loop can watch sockets.
    static bool available();
    /// Calls back once more from the event loop: Xlib may already have read events into its
    /// own queue while waiting for a reply, and those never wake the socket again.
    void readSoon();

private:
    // Shared with the notifier's connections, so the source may be destroyed from inside the
    // callback.
    std::shared_ptr<const std::function<void()>> callback_;
    QSocketNotifier* notifier_;
};

} // namespace skrib
