#include "platform/x11/X11Connection.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace skrib {
namespace {

// Xlib's handlers are process-wide; connections that are not ours keep the previous ones.
std::mutex registryMutex;
std::vector<X11Connection*> registry;
XErrorHandler previousErrorHandler = nullptr;
XIOErrorHandler previousIOErrorHandler = nullptr;

X11Connection* find(Display* display) {
    std::lock_guard lock(registryMutex);
    const auto it = std::find_if(registry.begin(), registry.end(),
                                 [display](X11Connection* c) { return c->display() == display; });
    return it == registry.end() ? nullptr : *it;
}

} // namespace

std::unique_ptr<X11Connection> X11Connection::open(const std::string& displayName) {
    Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (display == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<X11Connection>(new X11Connection(display));
}

X11Connection::X11Connection(Display* display)
    : display_(display) {
    std::lock_guard lock(registryMutex);
    static const bool installed = [] {
        previousErrorHandler = XSetErrorHandler(&X11Connection::onError);
        previousIOErrorHandler = XSetIOErrorHandler(&X11Connection::onIOError);
        return true;
    }();
    (void)installed;
    registry.push_back(this);
    XSetIOErrorExitHandler(display_, &X11Connection::onConnectionLost, this);
}

X11Connection::~X11Connection() {
    {
        std::lock_guard lock(registryMutex);
        registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
    }
    XCloseDisplay(display_);
}

bool X11Connection::sync() {
    if (lost_) {
        return false;
    }
    XSync(display_, False);
    return !lost_;
}

int X11Connection::onError(Display* display, XErrorEvent* error) {
    if (X11Connection* connection = find(display)) {
        ++connection->errors_;
        return 0;
    }
    return previousErrorHandler != nullptr ? previousErrorHandler(display, error) : 0;
}

int X11Connection::onIOError(Display* display) {
    // Returning lets Xlib call the connection's exit handler, which marks it lost.
    if (find(display) != nullptr) {
        return 0;
    }
    return previousIOErrorHandler != nullptr ? previousIOErrorHandler(display) : 0;
}

void X11Connection::onConnectionLost(Display*, void* connection) {
    static_cast<X11Connection*>(connection)->lost_ = true;
}

} // namespace skrib
