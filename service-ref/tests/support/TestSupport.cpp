#include "TestSupport.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace skrib::service::test {
namespace {

int exitStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

pid_t spawn(const std::vector<std::string>& argv, const char* stdoutPath, const char* stderrPath) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + argv[0]);
    }
    return pid;
}

// Runs a program to its end and returns its standard output; throws when it fails.
std::string run(const std::vector<std::string>& argv, const std::filesystem::path& output) {
    int status = 0;
    const pid_t pid = spawn(argv, "/dev/null", "/dev/null");
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (exitStatus(status) != 0) {
        throw std::runtime_error(argv[0] + " failed with status " +
                                 std::to_string(exitStatus(status)));
    }
    return readFile(output);
}

void putLe(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

} // namespace

TempDir::TempDir() {
    const char* root = std::getenv("SKRIB_TEST_TMP");
    std::string pattern =
        ((root != nullptr && *root != '\0') ? std::filesystem::path(root)
                                            : std::filesystem::temp_directory_path()) /
        "skrib-service-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string makeWav(const Pcm& pcm) {
    const auto dataBytes = static_cast<std::uint32_t>(pcm.samples.size() * 2);
    std::string wav = "RIFF";
    putLe(wav, 36 + dataBytes, 4);
    wav += "WAVEfmt ";
    putLe(wav, 16, 4);
    putLe(wav, 1, 2); // PCM
    putLe(wav, static_cast<std::uint32_t>(pcm.channels), 2);
    putLe(wav, static_cast<std::uint32_t>(pcm.sampleRate), 4);
    putLe(wav, static_cast<std::uint32_t>(pcm.sampleRate * pcm.channels * 2), 4);
    putLe(wav, static_cast<std::uint32_t>(pcm.channels * 2), 2);
    putLe(wav, 16, 2);
    wav += "data";
    putLe(wav, dataBytes, 4);
    for (std::int16_t s : pcm.samples) {
        putLe(wav, static_cast<std::uint16_t>(s), 2);
    }
    return wav;
}

std::string speakWav(const std::string& text) {
    TempDir dir;
    const auto file = dir.path() / "speech.wav";
    return run({SKRIB_FLITE_PROGRAM, "-voice", "rms", "-t", text, "-o", file.string()}, file);
}

Pcm speechOfLength(double seconds) {
    // flite's 16 kHz mono output converted to headerless samples, repeated to the length.
    const std::string sentences = "the meeting has been moved to thursday afternoon. "
                                  "i will call you back in ten minutes. "
                                  "we need to buy more coffee for the office. ";
    const std::string raw = convertWithFfmpeg(speakWav(sentences), {"-ar", "16000", "-ac", "1", "-f", "s16le"});
    Pcm pcm;
    const auto count = static_cast<std::size_t>(seconds * pcm.sampleRate);
    while (pcm.samples.size() < count) {
        const std::size_t at = pcm.samples.size();
        pcm.samples.resize(at + raw.size() / 2);
        std::memcpy(pcm.samples.data() + at, raw.data(), raw.size() / 2 * 2);
    }
    pcm.samples.resize(count);
    return pcm;
}

std::string convertWithFfmpeg(const std::string& audio,
                              const std::vector<std::string>& outputOptions) {
    TempDir dir;
    const auto input = dir.path() / "input";
    const auto output = dir.path() / "output";
    std::ofstream(input, std::ios::binary) << audio;
    std::vector<std::string> argv = {
        SKRIB_FFMPEG_PROGRAM, "-nostdin", "-loglevel", "error", "-y", "-i", input.string()};
    argv.insert(argv.end(), outputOptions.begin(), outputOptions.end());
    argv.push_back(output.string());
    return run(argv, output);
}

std::string wavToM4a(const std::string& wav) {
    return convertWithFfmpeg(
        wav, {"-c:a", "aac", "-b:a", "32k", "-ar", "16000", "-ac", "1", "-f", "ipod"});
}

Upload buildUpload(const std::string& audio, bool m4a, const std::optional<std::string>& vocab,
                   const std::string& source) {
    Upload upload{"7D0A4E4F-9C39-4F1E-8A9B-5C4EE2B17C11", {}};
    const std::string& b = upload.boundary;
    std::string& body = upload.body;
    body += "--" + b + "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"";
    body += m4a ? "recording.m4a" : "recording.wav";
    body += std::string("\"\r\nContent-Type: ") + (m4a ? "audio/mp4" : "audio/wav") + "\r\n\r\n";
    body += audio;
    if (vocab && !vocab->empty()) {
        body +=
            "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"vocab\"\r\n\r\n" + *vocab;
    }
    body += "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"source\"\r\n\r\n" + source;
    body += "\r\n--" + b + "--\r\n";
    return upload;
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& args,
                               std::filesystem::path stderrFile)
    : stderrFile_(std::move(stderrFile)) {
    std::vector<std::string> argv = {SKRIB_SERVICE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, "/dev/null", stderrFile_.c_str());
}

ServiceProcess::~ServiceProcess() {
    if (!waitFor(std::chrono::seconds(0))) {
        kill(pid_, SIGKILL);
        waitFor(std::chrono::seconds(10));
    }
}

std::optional<int> ServiceProcess::waitUntilListening() {
    static const std::regex listening(R"(listening on https?://[^ ]*:(\d+))");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && !waitFor(std::chrono::seconds(0))) {
        std::smatch match;
        const std::string text = errorOutput();
        if (std::regex_search(text, match, listening)) {
            return std::stoi(match[1].str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

std::optional<int> ServiceProcess::waitFor(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = exitStatus(status);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return status_;
}

} // namespace skrib::service::test
