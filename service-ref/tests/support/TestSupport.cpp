#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <numbers>
#include <random>
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

std::filesystem::path tempRoot() {
    if (const char* root = std::getenv("SKRIB_TEST_TMP"); root != nullptr && *root != '\0') {
        return root;
    }
    return std::filesystem::temp_directory_path();
}

int exitStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
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
    return rc == 0 ? pid : -1;
}

void putLe(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::uint32_t getLe(const std::string& in, std::size_t at, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(in.at(at + i))) << (8 * i);
    }
    return value;
}

} // namespace

TempDir::TempDir() {
    std::string pattern = (tempRoot() / "skrib-service-test.XXXXXX").string();
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

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

int runProgram(const std::vector<std::string>& argv) {
    const pid_t pid = spawn(argv, "/dev/null", "/dev/null");
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return exitStatus(status);
}

std::string randomUuid() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard lock(mutex);
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string uuid;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            uuid += '-';
        }
        uuid += hex[generator() & 0xF];
    }
    return uuid;
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

Pcm parseWav(const std::string& wav) {
    if (wav.size() < 12 || wav.compare(0, 4, "RIFF") != 0 || wav.compare(8, 4, "WAVE") != 0) {
        throw std::runtime_error("not a WAV file");
    }
    Pcm pcm;
    std::size_t at = 12;
    while (at + 8 <= wav.size()) {
        const std::string id = wav.substr(at, 4);
        std::size_t size = getLe(wav, at + 4, 4);
        const std::size_t body = at + 8;
        size = std::min(size, wav.size() - body);
        if (id == "fmt ") {
            pcm.channels = static_cast<int>(getLe(wav, body + 2, 2));
            pcm.sampleRate = static_cast<int>(getLe(wav, body + 4, 4));
            if (getLe(wav, body + 14, 2) != 16) {
                throw std::runtime_error("not a 16-bit WAV file");
            }
        } else if (id == "data") {
            pcm.samples.resize(size / 2);
            std::memcpy(pcm.samples.data(), wav.data() + body, pcm.samples.size() * 2);
            return pcm;
        }
        at = body + size + (size & 1);
    }
    throw std::runtime_error("WAV file without data");
}

Pcm makeTone(double frequency, double seconds, int sampleRate, int channels, double amplitude) {
    Pcm pcm;
    pcm.sampleRate = sampleRate;
    pcm.channels = channels;
    const auto frames = static_cast<std::size_t>(seconds * sampleRate);
    pcm.samples.reserve(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const double value = amplitude * std::sin(2 * std::numbers::pi * frequency *
                                                  static_cast<double>(i) / sampleRate);
        for (int c = 0; c < channels; ++c) {
            pcm.samples.push_back(static_cast<std::int16_t>(std::lround(value * 32767)));
        }
    }
    return pcm;
}

std::string speakWav(const std::string& text) {
    TempDir dir;
    const auto file = dir.path() / "speech.wav";
    const int status =
        runProgram({SKRIB_FLITE_PROGRAM, "-voice", "rms", "-t", text, "-o", file.string()});
    if (status != 0) {
        throw std::runtime_error("flite failed with status " + std::to_string(status));
    }
    return readFile(file);
}

const std::string& sentenceWav(std::size_t index) {
    static std::mutex mutex;
    static std::map<std::size_t, std::string> cache;
    std::lock_guard lock(mutex);
    auto it = cache.find(index);
    if (it == cache.end()) {
        it = cache.emplace(index, speakWav(testSentences().at(index))).first;
    }
    return it->second;
}

const std::string& sentenceM4a(std::size_t index) {
    static std::mutex mutex;
    static std::map<std::size_t, std::string> cache;
    const std::string& wav = sentenceWav(index);
    std::lock_guard lock(mutex);
    auto it = cache.find(index);
    if (it == cache.end()) {
        it = cache.emplace(index, wavToM4a(wav)).first;
    }
    return it->second;
}

Pcm speechOfLength(double seconds) {
    std::string text;
    Pcm pcm;
    std::size_t next = 0;
    while (true) {
        text += testSentences()[next++ % testSentences().size()] + ". ";
        pcm = parseWav(speakWav(text));
        if (pcm.seconds() >= seconds) {
            break;
        }
    }
    pcm.samples.resize(static_cast<std::size_t>(seconds * pcm.sampleRate) *
                       static_cast<std::size_t>(pcm.channels));
    return pcm;
}

std::string convertWithFfmpeg(const std::string& inputFile,
                              const std::vector<std::string>& outputOptions) {
    TempDir dir;
    const auto output = dir.path() / "converted";
    std::vector<std::string> argv = {
        SKRIB_FFMPEG_PROGRAM, "-nostdin", "-loglevel", "error", "-y", "-i", inputFile};
    argv.insert(argv.end(), outputOptions.begin(), outputOptions.end());
    argv.push_back(output.string());
    const int status = runProgram(argv);
    if (status != 0) {
        throw std::runtime_error("ffmpeg failed with status " + std::to_string(status));
    }
    return readFile(output);
}

std::string wavToM4a(const std::string& wav) {
    TempDir dir;
    const auto input = dir.path() / "input.wav";
    writeFile(input, wav);
    return convertWithFfmpeg(
        input.string(), {"-c:a", "aac", "-b:a", "32k", "-ar", "16000", "-ac", "1", "-f", "ipod"});
}

Upload buildUpload(const std::string& audio, bool m4a, const std::optional<std::string>& vocab,
                   const std::string& source) {
    Upload upload;
    upload.boundary = randomUuid();
    const std::string& b = upload.boundary;
    std::string& body = upload.body;
    body += "--" + b + "\r\n";
    body += "Content-Disposition: form-data; name=\"audio\"; filename=\"";
    body += m4a ? "recording.m4a" : "recording.wav";
    body += "\"\r\n";
    body += std::string("Content-Type: ") + (m4a ? "audio/mp4" : "audio/wav") + "\r\n\r\n";
    body += audio;
    if (vocab && !vocab->empty()) {
        body +=
            "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"vocab\"\r\n\r\n" + *vocab;
    }
    body += "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"source\"\r\n\r\n" + source;
    body += "\r\n--" + b + "--\r\n";
    return upload;
}

std::vector<std::string> normalizedWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '\'') {
            word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            if (!word.empty()) {
                words.push_back(word);
            }
            word.clear();
        }
    }
    return words;
}

std::size_t wordErrors(const std::string& reference, const std::string& hypothesis) {
    const auto ref = normalizedWords(reference);
    const auto hyp = normalizedWords(hypothesis);
    std::vector<std::size_t> previous(hyp.size() + 1), current(hyp.size() + 1);
    for (std::size_t j = 0; j <= hyp.size(); ++j) {
        previous[j] = j;
    }
    for (std::size_t i = 1; i <= ref.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= hyp.size(); ++j) {
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1,
                                   previous[j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
        }
        std::swap(previous, current);
    }
    return previous[hyp.size()];
}

const std::vector<std::string>& testSentences() {
    static const std::vector<std::string> sentences = {
        "please send the quarterly report to the finance team before friday",
        "the meeting has been moved to thursday afternoon",
        "i will call you back in ten minutes",
        "we need to buy more coffee for the office",
        "the weather today is cold and windy",
        "can you review my changes this morning",
        "open the window and let some fresh air in",
        "my flight leaves at seven in the evening",
    };
    return sentences;
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& args,
                               std::filesystem::path stderrFile)
    : stderrFile_(std::move(stderrFile)) {
    std::vector<std::string> argv = {SKRIB_SERVICE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, stdoutFile().c_str(), stderrFile_.c_str());
    if (pid_ < 0) {
        throw std::runtime_error("cannot start " + std::string(SKRIB_SERVICE_BINARY));
    }
}

ServiceProcess::~ServiceProcess() {
    if (running()) {
        kill(pid_, SIGKILL);
        wait();
    }
}

bool ServiceProcess::running() {
    if (status_) {
        return false;
    }
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        status_ = exitStatus(status);
        return false;
    }
    return true;
}

std::optional<int> ServiceProcess::waitUntilListening(std::chrono::seconds timeout) {
    static const std::regex listening(R"(listening on https?://[^ ]*:(\d+))");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::smatch match;
        const std::string text = errorOutput();
        if (std::regex_search(text, match, listening)) {
            return std::stoi(match[1].str());
        }
        if (!running()) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

int ServiceProcess::terminate() {
    if (running()) {
        kill(pid_, SIGTERM);
    }
    return wait();
}

std::optional<int> ServiceProcess::waitFor(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

int ServiceProcess::wait() {
    if (!status_) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = exitStatus(status);
    }
    return *status_;
}

} // namespace skrib::service::test
