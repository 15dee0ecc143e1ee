#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
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

/// 16-bit PCM audio.
struct Pcm {
    int sampleRate = 16000;
    int channels = 1;
    std::vector<std::int16_t> samples; // interleaved
};

/// A canonical 44-byte-header WAV file of `pcm`.
std::string makeWav(const Pcm& pcm);

/// Speech for `text` spoken by flite's "rms" voice, as WAV bytes (16 kHz mono).
std::string speakWav(const std::string& text);

/// Speech at least `seconds` long (a few sentences repeated), cut to exactly that length.
Pcm speechOfLength(double seconds);

/// `audio` converted by the ffmpeg program with `outputOptions`.
std::string convertWithFfmpeg(const std::string& audio,
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

} // namespace skrib::service::test
