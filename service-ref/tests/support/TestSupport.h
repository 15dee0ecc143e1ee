#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace skrib::service::test {

/// A fresh folder under $SKRIB_TEST_TMP (or the system's temporary folder), removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);

/// Runs a program to its end with its output discarded; returns its exit status (128 + signal
/// when a signal ended it, -1 when it could not start).
int runProgram(const std::vector<std::string>& argv);

/// An upper-case random UUID, the form the program uses for device ids and boundaries.
std::string randomUuid();

/// 16-bit PCM audio.
struct Pcm {
    int sampleRate = 16000;
    int channels = 1;
    std::vector<std::int16_t> samples; // interleaved

    double seconds() const { return static_cast<double>(samples.size()) / channels / sampleRate; }
};

/// A canonical 44-byte-header WAV file of `pcm`.
std::string makeWav(const Pcm& pcm);

/// The PCM of a 16-bit WAV file (the "fmt " and "data" chunks are looked up).
Pcm parseWav(const std::string& wav);

/// A sine tone.
Pcm makeTone(double frequency, double seconds, int sampleRate, int channels, double amplitude);

/// Speech for `text` spoken by flite's "rms" voice, as WAV bytes (16 kHz mono).
std::string speakWav(const std::string& text);

/// speakWav(testSentences()[index]) and its M4A (wavToM4a), made once per process.
const std::string& sentenceWav(std::size_t index);
const std::string& sentenceM4a(std::size_t index);

/// Speech at least `seconds` long (sentences repeated), cut to exactly that length.
Pcm speechOfLength(double seconds);

/// `inputFile` (any format ffmpeg reads) converted by the ffmpeg program with `outputOptions`,
/// returned as bytes.
std::string convertWithFfmpeg(const std::string& inputFile,
                              const std::vector<std::string>& outputOptions);

/// WAV bytes turned into M4A the way the program compresses: AAC, 32 kbit/s, 16 kHz mono.
std::string wavToM4a(const std::string& wav);

/// A /process body laid out byte for byte as the program builds it.
struct Upload {
    std::string boundary;
    std::string body;
    std::string contentType() const { return "multipart/form-data; boundary=" + boundary; }
};
Upload buildUpload(const std::string& audio, bool m4a, const std::optional<std::string>& vocab,
                   const std::string& source = "dictation");

/// Lower-case words with punctuation other than apostrophes removed.
std::vector<std::string> normalizedWords(const std::string& text);

/// Word-level edit distance between the normalised texts.
std::size_t wordErrors(const std::string& reference, const std::string& hypothesis);

/// Sentences flite says clearly, for recognition tests.
const std::vector<std::string>& testSentences();

/// The skrib-service program started with `args`, its standard error going to a file (and its
/// standard output to the same name with ".stdout" added).
class ServiceProcess {
public:
    ServiceProcess(const std::vector<std::string>& args, std::filesystem::path stderrFile);
    /// Kills the program if it still runs.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    /// The port from the "listening on" line; nothing when the program ended first or
    /// `timeout` passed.
    std::optional<int> waitUntilListening(std::chrono::seconds timeout = std::chrono::seconds(60));

    /// Sends SIGTERM and returns the exit status.
    int terminate();

    /// Waits for the end and returns the exit status.
    int wait();

    /// The exit status once the program has ended, or nothing when it still runs after
    /// `timeout`.
    std::optional<int> waitFor(std::chrono::seconds timeout);

    bool running();
    std::string errorOutput() const { return readFile(stderrFile_); }
    std::string standardOutput() const { return readFile(stdoutFile()); }
    pid_t pid() const { return pid_; }

private:
    std::filesystem::path stdoutFile() const { return stderrFile_.string() + ".stdout"; }

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path stderrFile_;
};

} // namespace skrib::service::test
