#include "TestSupport.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace skrib::service::test {
namespace {

// Runs a program (arguments without single quotes) and returns what it wrote to `output`.
std::string run(const std::vector<std::string>& argv, const std::filesystem::path& output) {
    std::string command;
    for (const auto& arg : argv) {
        command += " '" + arg + "'";
    }
    if (std::system((command + " </dev/null >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("failed:" + command);
    }
    std::ifstream in(output, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
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
    const std::string sentences = "the meeting has been moved to thursday afternoon. "
                                  "i will call you back in ten minutes. "
                                  "we need to buy more coffee for the office. ";
    const std::string raw =
        convertWithFfmpeg(speakWav(sentences), {"-ar", "16000", "-ac", "1", "-f", "s16le"});
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
    const std::string part = "\r\n--" + upload.boundary + "\r\nContent-Disposition: form-data; ";
    upload.body = part.substr(2) + "name=\"audio\"; filename=\"recording." + (m4a ? "m4a" : "wav") +
                  "\"\r\nContent-Type: " + (m4a ? "audio/mp4" : "audio/wav") + "\r\n\r\n" + audio;
    if (vocab && !vocab->empty()) {
        upload.body += part + "name=\"vocab\"\r\n\r\n" + *vocab;
    }
    upload.body += part + "name=\"source\"\r\n\r\n" + source + "\r\n--" + upload.boundary + "--\r\n";
    return upload;
}

} // namespace skrib::service::test
