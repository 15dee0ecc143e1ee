#include "PulseDaemon.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace skrib::testing {
namespace {

// Starts a program with input from /dev/null and output into `outputFd`. Should the tests die,
// the kernel ends it too.
pid_t spawn(std::vector<std::string> arguments, int outputFd) {
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    // The child: only async-signal-safe calls until exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
        ::_exit(127);
    }
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(outputFd, 1);
    ::dup2(outputFd, 2);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

CommandResult runCommand(const std::vector<std::string>& arguments) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = spawn(arguments, fds[1]);
    ::close(fds[1]);
    CommandResult result;
    char chunk[4096];
    for (ssize_t got; (got = ::read(fds[0], chunk, sizeof chunk)) != 0;) {
        if (got > 0) {
            result.output.append(chunk, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
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
    // No session bus, no display: the daemon stays to itself and leaves nothing behind.
    const int log = ::open((folder_ + "/pa.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    pid_ = spawn({"env", "-u", "DBUS_SESSION_BUS_ADDRESS", "-u", "DISPLAY", "HOME=" + folder_,
                  "XDG_CONFIG_HOME=" + folder_, "XDG_RUNTIME_DIR=" + folder_ + "/run",
                  "pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "-F",
                  folder_ + "/pa.pa", "--use-pid-file=no", "--realtime=no", "--high-priority=no",
                  "--log-target=stderr"},
                 log);
    ::close(log);
    if (const char* server = std::getenv("PULSE_SERVER")) {
        previousServer_ = server;
    }
    ::setenv("PULSE_SERVER", ("unix:" + folder_ + "/pulse.sock").c_str(), 1);
    // pactl answers once the socket does; a daemon that ended gives up at once.
    const auto up = [this] {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
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
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
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
