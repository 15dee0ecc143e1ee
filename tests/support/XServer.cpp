#include "XServer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace skrib::testing {
namespace {

using namespace std::chrono_literals;

// Starts a program with its output thrown away; -1 when it cannot be started.
pid_t spawn(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Whether the root window has the property (or the selection has an owner).
bool rootHas(Display* display, const char* name, bool selection) {
    const Atom atom = XInternAtom(display, name, False);
    if (selection) {
        return XGetSelectionOwner(display, atom) != None;
    }
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    const bool found = XGetWindowProperty(display, DefaultRootWindow(display), atom, 0, 1, False,
                                          AnyPropertyType, &type, &format, &items, &after,
                                          &data) == Success &&
                       type != None && items > 0;
    XFree(data);
    return found;
}

} // namespace

XServer::XServer()
    : XServer(Options{}) {}

XServer::XServer(Options options) {
    if (const char* d = std::getenv("DISPLAY")) {
        hadDisplay_ = true;
        previousDisplay_ = d;
    }
    // Xvfb picks a free display itself and writes its number to the pipe.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    ::fcntl(fds[1], F_SETFD, 0); // only the write end goes to Xvfb
    const pid_t xvfb = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                              "1280x800x24", "-nolisten", "tcp", "-noreset"});
    ::close(fds[1]);
    std::string number;
    if (xvfb > 0) {
        children_.push_back(xvfb);
        pollfd p{fds[0], POLLIN, 0};
        char buffer[16];
        for (ssize_t n = 1; number.find('\n') == std::string::npos && n > 0 &&
                            ::poll(&p, 1, 10000) > 0;) {
            n = ::read(fds[0], buffer, sizeof buffer);
            number.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        error_ = "Xvfb did not start (is the xvfb package installed?)";
        return;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    ::setenv("DISPLAY", display_.c_str(), 1);
    if (options.windowManager &&
        !start({"openbox", "--sm-disable"}, "_NET_SUPPORTING_WM_CHECK", false)) {
        error_ = "openbox did not start";
    } else if (options.compositor && !start({"xcompmgr"}, "_NET_WM_CM_S0", true)) {
        error_ = "xcompmgr did not start";
    }
}

XServer::~XServer() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        ::kill(*it, SIGTERM);
        bool ended = false;
        for (int i = 0; i < 100 && !(ended = ::waitpid(*it, nullptr, WNOHANG) == *it); ++i) {
            std::this_thread::sleep_for(20ms);
        }
        if (!ended) {
            ::kill(*it, SIGKILL);
            ::waitpid(*it, nullptr, 0);
        }
    }
    if (hadDisplay_) {
        ::setenv("DISPLAY", previousDisplay_.c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
}

bool XServer::start(std::vector<std::string> arguments, const char* atom, bool selection) {
    const pid_t pid = spawn(std::move(arguments));
    if (pid <= 0) {
        return false;
    }
    children_.push_back(pid);
    Display* display = XOpenDisplay(display_.c_str());
    if (display == nullptr) {
        return false;
    }
    bool found = rootHas(display, atom, selection);
    for (int waited = 0; waited < 10000 && !found; waited += 20) {
        std::this_thread::sleep_for(20ms);
        found = rootHas(display, atom, selection);
    }
    XCloseDisplay(display);
    return found;
}

} // namespace skrib::testing
