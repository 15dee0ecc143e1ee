#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace skrib::service {

/// How the service runs; every field has a command-line option.
struct ServiceConfig {
    std::string host = "127.0.0.1";
    int port = 8787; // 0 picks a free port
    std::filesystem::path dataDir;
    std::optional<std::int64_t> dailyLimit;               // uploads per device and UTC day
    std::optional<std::filesystem::path> releaseManifest; // none: never an update
    std::optional<std::filesystem::path> tlsCert;
    std::optional<std::filesystem::path> tlsKey;
    std::filesystem::path modelDir = SKRIB_SPHINX_MODEL_DIR;
    std::size_t workers = 2;       // recognisers, one per worker thread
    std::size_t queueCapacity = 8; // uploads waiting beyond the running ones
    std::size_t httpThreads = 16;  // connections served at once
    // The longest dictation the program sends: an hour, as 16 kHz mono 16-bit WAV (109.9 MiB)
    // or AAC; the body has room for that and the upload's other parts.
    std::size_t maxBodyBytes = 110u << 20;
    std::size_t maxAudioSeconds = 3600;
    std::int64_t logsPerDevice = 1000;
};

/// The outcome of reading the command line: a configuration, a request for help, or an error.
struct CommandLine {
    std::optional<ServiceConfig> config;
    bool help = false;
    std::string error;
};

CommandLine parseCommandLine(const std::vector<std::string>& args);

/// The option summary printed by --help and after a usage error.
std::string usageText();

} // namespace skrib::service
