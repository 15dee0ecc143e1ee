#include "Sway.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace skrib::testing {

Sway::Sway() {
    char pattern[] = "/tmp/skrib-sway-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    const std::string runtime = folder_ + "/run";
    ::mkdir(runtime.c_str(), 0700);
    ::chmod(folder_.c_str(), 0755); // sway's user reads the configuration
    std::ofstream(folder_ + "/config")
        << "output HEADLESS-1 resolution 1280x800\nxwayland disable\n";
    // Ends with the test, even one that crashes.
    std::string launcher = "setpriv --pdeathsig TERM ";
    if (::geteuid() == 0) {
        std::system("id wltest >/dev/null 2>&1 || useradd --system --no-create-home wltest");
        const passwd* user = ::getpwnam("wltest");
        if (user == nullptr || ::chown(runtime.c_str(), user->pw_uid, user->pw_gid) != 0) {
            error_ = "no user wltest to run sway as";
            return;
        }
        launcher += "--reuid=wltest --regid=wltest --init-groups ";
    }
    start(launcher + "env -u WAYLAND_DISPLAY -u DISPLAY XDG_RUNTIME_DIR=" + runtime +
          " HOME=" + runtime +
          " WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c " +
          folder_ + "/config");
    std::string socket; // wayland-N, whichever N sway took
    for (int waited = 0; waited < 10000 && socket.empty(); waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const auto& entry : std::filesystem::directory_iterator(runtime)) {
            const bool wayland = entry.path().filename().string().starts_with("wayland-");
            socket = wayland && entry.is_socket() ? entry.path().string() : socket;
        }
    }
    if (socket.empty()) {
        error_ = "sway did not start";
        return;
    }
    ::setenv("WAYLAND_DISPLAY", socket.c_str(), 1);
}

Sway::~Sway() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        ::kill(it->first, SIGTERM);
        ::pclose(it->second);
    }
    ::unsetenv("WAYLAND_DISPLAY");
    std::filesystem::remove_all(folder_);
}

// Through a shell that tells its process id first.
pid_t Sway::start(const std::string& command) {
    std::FILE* output = ::popen(("echo $$; exec " + command + " >/dev/null 2>&1").c_str(), "re");
    char pid[16] = {};
    if (output != nullptr && std::fgets(pid, sizeof pid, output) != nullptr) {
        children_.emplace_back(std::atoi(pid), output);
        return children_.back().first;
    }
    if (output != nullptr) {
        ::pclose(output);
    }
    return 0;
}

} // namespace skrib::testing
