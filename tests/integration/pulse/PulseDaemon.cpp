#include "PulseDaemon.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace skrib::testing {

CommandResult runCommand(const std::vector<std::string>& arguments) {
    std::string line = "exec";
    for (const std::string& argument : arguments) {
        line += " '" + argument + "'";
    }
    CommandResult result;
    std::FILE* output = ::popen((line + " </dev/null 2>&1").c_str(), "re");
    if (output == nullptr) {
        return result;
    }
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, output)) > 0;) {
        result.output.append(chunk, got);
    }
    const int status = ::pclose(output);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

PulseDaemon::PulseDaemon() {
    const char* base = std::getenv("SKRIB_TEST_TMP");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/pulse-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot make a temporary folder";
        return;
    }
    folder_ = pattern;
    std::filesystem::create_directories(folder_ + "/run");
    std::filesystem::permissions(folder_ + "/run", std::filesystem::perms::owner_all);
    // The socket comes last: once it answers, every device above exists.
    std::ofstream(folder_ + "/pa.pa")
        << ".fail\n"
        << "load-module module-null-sink sink_name=out\n"
        << "load-module module-pipe-source source_name=mic file=" << micFifo()
        << " format=s16le rate=48000 channels=2"
        << " source_properties=\"device.description='USB Microphone' device.bus=usb\"\n"
        << "load-module module-null-source source_name=builtin\n"
        << "update-source-proplist builtin device.description=\"Built-in Microphone\""
        << " device.form_factor=internal device.bus=pci\n"
        << "set-default-source mic\n"
        << "load-module module-native-protocol-unix socket=" << folder_
        << "/pulse.sock auth-anonymous=1\n";
    // Its own home, no session bus, no display: the daemon keeps to itself. Should the tests
    // die, the kernel ends it too.
    process_ = ::popen(("echo $$; exec setpriv --pdeathsig KILL env -u DBUS_SESSION_BUS_ADDRESS"
                        " -u DISPLAY HOME=" +
                        folder_ + " XDG_CONFIG_HOME=" + folder_ + " XDG_RUNTIME_DIR=" + folder_ +
                        "/run pulseaudio --daemonize=no --exit-idle-time=-1 -n -F " + folder_ +
                        "/pa.pa --use-pid-file=no --realtime=no --high-priority=no"
                        " --log-target=stderr >" +
                        folder_ + "/pa.log 2>&1")
                           .c_str(),
                       "re");
    char pid[16] = {};
    if (process_ != nullptr && std::fgets(pid, sizeof pid, process_) != nullptr) {
        pid_ = std::atoi(pid);
    }
    if (const char* server = std::getenv("PULSE_SERVER")) {
        previousServer_ = server;
    }
    ::setenv("PULSE_SERVER", ("unix:" + folder_ + "/pulse.sock").c_str(), 1);
    // pactl answers once the socket does; a daemon that ended gives up at once.
    const auto up = [this] {
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
        }
        return pid_ <= 0 || pactl({"info"}).status == 0;
    };
    if (!waitFor(up, std::chrono::seconds(10)) || pid_ <= 0) {
        std::ifstream in(folder_ + "/pa.log");
        error_ = "pulseaudio did not come up:\n" + std::string(std::istreambuf_iterator(in), {});
    }
}

PulseDaemon::~PulseDaemon() {
    kill();
    previousServer_ ? ::setenv("PULSE_SERVER", previousServer_->c_str(), 1)
                    : ::unsetenv("PULSE_SERVER");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void PulseDaemon::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
    }
    if (process_ != nullptr) {
        ::pclose(process_); // waits for it
        process_ = nullptr;
    }
    pid_ = -1;
}

CommandResult PulseDaemon::pactl(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "pactl");
    return runCommand(arguments);
}

std::optional<int> PulseDaemon::loadModule(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "load-module");
    const CommandResult result = pactl(arguments);
    return result.status == 0 ? std::optional(std::atoi(result.output.c_str())) : std::nullopt;
}

AudioDeviceID PulseDaemon::idOf(const std::string& sourceName) const {
    std::istringstream lines(pactl({"list", "short", "sources"}).output);
    for (std::string index, name, rest; std::getline(lines, index, '\t') &&
                                        std::getline(lines, name, '\t') &&
                                        std::getline(lines, rest);) {
        if (name == sourceName) {
            return static_cast<AudioDeviceID>(std::stoul(index)) + 1;
        }
    }
    return noAudioDevice;
}

} // namespace skrib::testing
