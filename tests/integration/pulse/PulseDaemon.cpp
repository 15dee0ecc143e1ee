#include "PulseDaemon.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace skrib::testing {
namespace {

using Environment = std::map<std::string, std::optional<std::string>>;

// The process's environment with `changes` applied (none: removed), as "NAME=value" lines.
std::vector<std::string> environmentLines(const Environment& changes) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string line = *entry;
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            merged[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            merged[name] = *value;
        } else {
            merged.erase(name);
        }
    }
    std::vector<std::string> lines;
    for (const auto& [name, value] : merged) {
        lines.push_back(name + "=" + value);
    }
    return lines;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& string : strings) {
        result.push_back(string.data());
    }
    result.push_back(nullptr);
    return result;
}

// Starts a program with standard input from /dev/null and its output into `outputFd`.
pid_t spawn(std::vector<std::string> arguments, const Environment& environment, int outputFd) {
    std::vector<std::string> lines = environmentLines(environment);
    auto argv = pointers(arguments);
    auto envp = pointers(lines);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

// Starts the daemon like spawn(), but tied to this process: should the test process die
// without cleaning up (a crash), the kernel ends the daemon too.
pid_t spawnTied(std::vector<std::string> arguments, const Environment& environment, int outputFd) {
    std::vector<std::string> lines = environmentLines(environment);
    auto argv = pointers(arguments);
    auto envp = pointers(lines);
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
    const int input = ::open("/dev/null", O_RDONLY);
    ::dup2(input, 0);
    ::dup2(outputFd, 1);
    ::dup2(outputFd, 2);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

bool socketAnswers(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace

CommandResult runCommand(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment) {
    Environment changes(environment.begin(), environment.end());
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = spawn(arguments, changes, pipeFds[1]);
    ::close(pipeFds[1]);
    CommandResult result;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(pipeFds[0], chunk, sizeof chunk);
        if (got > 0) {
            result.output.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

PulseDaemon::PulseDaemon() {
    const char* base = std::getenv("SKRIB_TEST_TMP");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/pulse-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot make a temporary folder";
        return;
    }
    folder_ = pattern;
    std::filesystem::create_directories(folder_ + "/home/.config");
    std::filesystem::create_directories(folder_ + "/run");
    std::filesystem::permissions(folder_ + "/run", std::filesystem::perms::owner_all);

    // The socket comes last: once it answers, every device above exists.
    std::ofstream script(folder_ + "/pa.pa");
    script << ".fail\n"
           << "load-module module-null-sink sink_name=out\n"
           << "load-module module-null-sink sink_name=out2\n"
           << "load-module module-pipe-source source_name=mic file=" << micFifo()
           << " format=s16le rate=48000 channels=2"
           << " source_properties=\"device.description='USB Microphone' device.bus=usb\"\n"
           << "load-module module-null-source source_name=builtin\n"
           << "update-source-proplist builtin device.description=\"Built-in Microphone\""
           << " device.form_factor=internal device.bus=pci\n"
           << "set-default-sink out\n"
           << "set-default-source mic\n"
           << "load-module module-native-protocol-unix socket=" << folder_
           << "/pulse.sock auth-anonymous=1\n";
    script.close();

    const int logFd =
        ::open((folder_ + "/pa.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Environment environment;
    for (const auto& [name, value] : childEnvironment()) {
        environment[name] = value;
    }
    // No session bus, no display: the daemon stays to itself and leaves nothing behind.
    environment["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
    environment["DISPLAY"] = std::nullopt;
    environment["WAYLAND_DISPLAY"] = std::nullopt;
    pid_ = spawnTied({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "-F",
                      folder_ + "/pa.pa", "--use-pid-file=no", "--realtime=no",
                      "--high-priority=no", "--log-target=stderr"},
                     environment, logFd);
    ::close(logFd);
    if (pid_ <= 0) {
        error_ = "cannot start pulseaudio";
        return;
    }

    const bool answers = waitFor(
        [this] {
            int status = 0;
            if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1; // exited: nothing to wait for any more
                return true;
            }
            return socketAnswers(folder_ + "/pulse.sock");
        },
        std::chrono::seconds(10));
    if (pid_ <= 0 || !answers) {
        error_ = "pulseaudio did not come up:\n" + log();
        return;
    }

    environment_.set("PULSE_SERVER", server());
    environment_.set("XDG_CONFIG_HOME", folder_ + "/home/.config");
    running_ = true;
}

PulseDaemon::~PulseDaemon() {
    kill();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

void PulseDaemon::kill() {
    running_ = false;
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    int status = 0;
    const bool exited =
        waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(3));
    if (!exited) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

std::map<std::string, std::string> PulseDaemon::childEnvironment() const {
    return {{"HOME", folder_ + "/home"},
            {"XDG_CONFIG_HOME", folder_ + "/home/.config"},
            {"XDG_STATE_HOME", folder_ + "/home/.local/state"},
            {"XDG_CACHE_HOME", folder_ + "/home/.cache"},
            {"XDG_RUNTIME_DIR", folder_ + "/run"},
            {"PULSE_SERVER", server()},
            {"LC_ALL", "C"}};
}

CommandResult PulseDaemon::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"pactl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runCommand(command, childEnvironment());
}

std::optional<int> PulseDaemon::loadModule(const std::string& module,
                                           const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"load-module", module};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const CommandResult result = pactl(command);
    if (result.status != 0) {
        return std::nullopt;
    }
    try {
        return std::stoi(result.output);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool PulseDaemon::unloadModule(int index) const {
    return pactl({"unload-module", std::to_string(index)}).status == 0;
}

std::map<std::string, std::uint32_t> PulseDaemon::sourceIndices() const {
    std::map<std::string, std::uint32_t> indices;
    std::istringstream lines(pactl({"list", "short", "sources"}).output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string index;
        std::string name;
        if (std::getline(fields, index, '\t') && std::getline(fields, name, '\t')) {
            indices[name] = static_cast<std::uint32_t>(std::stoul(index));
        }
    }
    return indices;
}

std::string PulseDaemon::log() const {
    return readFile(folder_ + "/pa.log");
}

} // namespace skrib::testing
