#include "XServer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <cerrno>
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

void stop(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string screen =
        std::to_string(options.width) + "x" + std::to_string(options.height) + "x24";
    std::vector<std::string> args{"Xvfb",      "-displayfd", std::to_string(fds[1]),
                                  "-screen",   "0",          screen,
                                  "-nolisten", "tcp",        "-noreset"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t xvfb = -1;
    const int spawned = posix_spawnp(&xvfb, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        error_ = "cannot start Xvfb (is the xvfb package installed?)";
        return;
    }
    children_.push_back(xvfb);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline && number.find('\n') == std::string::npos) {
        if (::poll(&p, 1, 100) > 0) {
            char buffer[16];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            number.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
        error_ = "Xvfb did not report its display";
        return;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    ::setenv("DISPLAY", display_.c_str(), 1);

    if (options.windowManager) {
        children_.push_back(spawn({"openbox", "--sm-disable"}));
        if (!waitForRootProperty("_NET_SUPPORTING_WM_CHECK", false, 10000)) {
            error_ = "openbox did not start";
            return;
        }
    }
    if (options.compositor) {
        children_.push_back(spawn({"xcompmgr"}));
        if (!waitForRootProperty("_NET_WM_CM_S0", true, 10000)) {
            error_ = "xcompmgr did not start";
            return;
        }
    }
    if (options.tray) {
        children_.push_back(spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype",
                                   "pixel", "--width", "120", "--height", "24"}));
        if (!waitForRootProperty("_NET_SYSTEM_TRAY_S0", true, 10000)) {
            error_ = "trayer did not start";
            return;
        }
    }
}

XServer::~XServer() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        stop(*it);
    }
    if (hadDisplay_) {
        ::setenv("DISPLAY", previousDisplay_.c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
}

pid_t XServer::spawn(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
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

bool XServer::waitForRootProperty(const char* name, bool selection, int timeoutMs) {
    Display* display = XOpenDisplay(display_.c_str());
    if (display == nullptr) {
        return false;
    }
    const Atom atom = XInternAtom(display, name, False);
    bool found = false;
    for (int waited = 0; waited < timeoutMs && !found; waited += 20) {
        if (selection) {
            found = XGetSelectionOwner(display, atom) != None;
        } else {
            Atom type = None;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(display, DefaultRootWindow(display), atom, 0, 1, False,
                                   AnyPropertyType, &type, &format, &items, &after,
                                   &data) == Success) {
                found = type != None && items > 0;
                if (data != nullptr) {
                    XFree(data);
                }
            }
        }
        if (!found) {
            std::this_thread::sleep_for(20ms);
        }
    }
    XCloseDisplay(display);
    return found;
}

} // namespace skrib::testing
