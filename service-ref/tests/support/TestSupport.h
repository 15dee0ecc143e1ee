#pragma once

#include "IsoTime.h"
#include "PocketSphinxRecognizer.h"
#include "ServiceServer.h"
#include "Storage.h"
#include "WorkPool.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <httplib.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace skrib::service::test {

/// A fresh folder under $SKRIB_TEST_TMP (or the system's temporary folder), removed at the end.
class TempDir {
public:
    TempDir() {
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
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

/// Runs a program (arguments without single quotes) on `input` in a fresh folder and returns what
/// it wrote to the file "output" there; the arguments name them {input} and {output}.
inline std::string runOnFile(std::vector<std::string> argv, const std::string& input) {
    TempDir dir;
    std::ofstream(dir.path() / "input", std::ios::binary) << input;
    std::string command;
    for (auto& arg : argv) {
        arg = arg == "{input}"    ? (dir.path() / "input").string()
              : arg == "{output}" ? (dir.path() / "output").string()
                                  : arg;
        command += " '" + arg + "'";
    }
    if (std::system((command + " </dev/null >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("failed:" + command);
    }
    std::ostringstream content;
    content << std::ifstream(dir.path() / "output", std::ios::binary).rdbuf();
    return content.str();
}

/// Speech for `text` spoken by flite's "rms" voice, as WAV bytes (16 kHz mono).
inline std::string speakWav(const std::string& text) {
    return runOnFile({SKRIB_FLITE_PROGRAM, "-voice", "rms", "-t", text, "-o", "{output}"}, "");
}

/// `audio` converted by the ffmpeg program with `outputOptions`.
inline std::string convertWithFfmpeg(const std::string& audio, std::vector<std::string> options) {
    options.insert(options.begin(),
                   {SKRIB_FFMPEG_PROGRAM, "-nostdin", "-loglevel", "error", "-y", "-i", "{input}"});
    options.push_back("{output}");
    return runOnFile(options, audio);
}

/// WAV bytes turned into M4A the way the program compresses: AAC, 32 kbit/s, 16 kHz mono.
inline std::string wavToM4a(const std::string& wav) {
    return convertWithFfmpeg(
        wav, {"-c:a", "aac", "-b:a", "32k", "-ar", "16000", "-ac", "1", "-f", "ipod"});
}

/// A /process body laid out byte for byte as the program builds it.
struct Upload {
    std::string boundary = "7D0A4E4F-9C39-4F1E-8A9B-5C4EE2B17C11";
    std::string body;
    std::string contentType() const { return "multipart/form-data; boundary=" + boundary; }
};
inline Upload buildUpload(const std::string& audio, bool m4a,
                          const std::optional<std::string>& vocab) {
    Upload upload;
    const std::string part = "\r\n--" + upload.boundary + "\r\nContent-Disposition: form-data; ";
    upload.body = part.substr(2) + "name=\"audio\"; filename=\"recording." + (m4a ? "m4a" : "wav") +
                  "\"\r\nContent-Type: " + (m4a ? "audio/mp4" : "audio/wav") + "\r\n\r\n" + audio;
    if (vocab && !vocab->empty()) {
        upload.body += part + "name=\"vocab\"\r\n\r\n" + *vocab;
    }
    upload.body += part + "name=\"source\"\r\n\r\ndictation\r\n--" + upload.boundary + "--\r\n";
    return upload;
}

/// A pool of `workers` PocketSphinx recognisers with `queue` waiting places.
inline WorkPool loadPool(int workers, std::size_t queue) {
    std::vector<std::unique_ptr<SpeechRecognizer>> recognizers;
    for (int i = 0; i < workers; ++i) {
        std::string error;
        recognizers.push_back(PocketSphinxRecognizer::load(SKRIB_SPHINX_MODEL_DIR, error));
        if (!recognizers.back()) {
            throw std::runtime_error(error);
        }
    }
    return WorkPool(std::move(recognizers), queue);
}

/// The process's recognition pool: two workers and two waiting places, loaded on first use.
inline WorkPool& sharedPool() {
    static WorkPool pool = loadPool(2, 2);
    return pool;
}

/// A ServiceServer on 127.0.0.1 with a free port, its own data folder and a clock the test sets
/// (not copyable: it owns the server thread).
class InProcessService {
public:
    explicit InProcessService(WorkPool& pool, ServiceConfig config = {},
                              std::optional<ReleaseManifest> manifest = {}) {
        std::string error;
        storage_ = Storage::open(data_.path(), error);
        config.host = "127.0.0.1";
        config.port = 0;
        config.dataDir = data_.path();
        if (storage_) {
            server_ = std::make_unique<ServiceServer>(
                config, *storage_, pool, std::move(manifest), [this] { return now_.load(); },
                [](const std::string&) {});
        }
        if (!server_ || !server_->bind(error)) {
            throw std::runtime_error(error);
        }
        thread_ = std::thread([this] { server_->run(); });
    }
    ~InProcessService() {
        server_->stop();
        thread_.join();
    }

    std::unique_ptr<httplib::Client> client() const {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
        client->set_read_timeout(120);
        client->set_write_timeout(30);
        return client;
    }
    Storage& storage() { return *storage_; }
    void setNow(std::int64_t millis) { now_ = millis; }

private:
    TempDir data_;
    std::unique_ptr<Storage> storage_;
    std::atomic<std::int64_t> now_ = systemNowMillis();
    std::unique_ptr<ServiceServer> server_;
    std::thread thread_;
};

} // namespace skrib::service::test
