#include "XServer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace skrib::testing {
namespace {

// Starts the program through a shell that tells its process id first; answers the program's
// standard output.
std::FILE* start(std::vector<std::pair<pid_t, std::FILE*>>& children, const std::string& command) {
    std::FILE* output = ::popen(("echo $$; exec " + command + " 2>/dev/null").c_str(), "re");
    char pid[16] = {};
    if (output != nullptr && std::fgets(pid, sizeof pid, output) != nullptr) {
        children.emplace_back(std::atoi(pid), output);
        return output;
    }
    if (output != nullptr) {
        ::pclose(output);
    }
    return nullptr;
}

// Waits until the root window has the property (or the selection has an owner).
bool waitForRoot(const char* name, bool selection) {
    Display* display = XOpenDisplay(nullptr);
    bool found = false;
    for (int waited = 0; display != nullptr && waited < 10000 && !found; waited += 20) {
        const Atom atom = XInternAtom(display, name, False);
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        found = selection ? XGetSelectionOwner(display, atom) != None
                          : XGetWindowProperty(display, DefaultRootWindow(display), atom, 0, 1,
                                               False, AnyPropertyType, &type, &format, &items,
                                               &after, &data) == Success &&
                                type != None && items > 0;
        XFree(data);
        std::this_thread::sleep_for(std::chrono::milliseconds(found ? 0 : 20));
    }
    if (display != nullptr) {
        XCloseDisplay(display);
    }
    return found;
}

} // namespace

XServer::XServer()
    : XServer(Options{}) {}

XServer::XServer(Options options) {
    if (const char* previous = std::getenv("DISPLAY")) {
        previousDisplay_ = previous;
    }
    // Xvfb picks a free display itself and tells its number.
    std::FILE* xvfb =
        start(children_, "Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp -noreset");
    char number[16] = {};
    if (xvfb == nullptr || std::fgets(number, sizeof number, xvfb) == nullptr) {
        error_ = "Xvfb did not start (is the xvfb package installed?)";
        return;
    }
    display_ = ":" + std::string(number, std::strcspn(number, "\n"));
    ::setenv("DISPLAY", display_.c_str(), 1);
    if (options.windowManager && (!start(children_, "openbox --sm-disable >/dev/null") ||
                                  !waitForRoot("_NET_SUPPORTING_WM_CHECK", false))) {
        error_ = "openbox did not start";
    } else if (options.compositor &&
               (!start(children_, "xcompmgr >/dev/null") || !waitForRoot("_NET_WM_CM_S0", true))) {
        error_ = "xcompmgr did not start";
    }
}

XServer::~XServer() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        ::kill(it->first, SIGTERM);
        ::pclose(it->second);
    }
    previousDisplay_ ? ::setenv("DISPLAY", previousDisplay_->c_str(), 1) : ::unsetenv("DISPLAY");
}

} // namespace skrib::testing
