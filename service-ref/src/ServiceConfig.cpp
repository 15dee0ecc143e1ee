#include "ServiceConfig.h"

#include <algorithm>
#include <charconv>
#include <thread>

namespace skrib::service {
namespace {

std::optional<std::int64_t> parseInteger(const std::string& text, std::int64_t minimum,
                                         std::int64_t maximum) {
    std::int64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < minimum || value > maximum) {
        return std::nullopt;
    }
    return value;
}

// "HOST:PORT" (host may be a bracketed IPv6 address).
bool parseListen(const std::string& text, ServiceConfig& config) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const auto port = parseInteger(text.substr(colon + 1), 0, 65535);
    if (host.empty() || !port) {
        return false;
    }
    config.host = host;
    config.port = static_cast<int>(*port);
    return true;
}

} // namespace

std::string usageText() {
    return "usage: skrib-service --listen HOST:PORT --data-dir DIR [options]\n"
           "  --listen HOST:PORT        address to serve on (port 0 picks a free port)\n"
           "  --data-dir DIR            folder of the database (created when missing)\n"
           "  --daily-limit N           uploads per device and UTC day (default: no limit)\n"
           "  --release-manifest FILE   JSON {\"latest\", \"download_url\"} of the newest "
           "release,\n"
           "                            with its image's base64 Ed25519 \"signature\" and "
           "\"size\"\n"
           "                            in bytes when known (packaging/sign-update-image signs)\n"
           "  --tls-cert FILE --tls-key FILE   serve HTTPS with this PEM certificate and key\n"
           "  --model-dir DIR           speech model folder (default " SKRIB_SPHINX_MODEL_DIR ")\n"
           "  --workers N               recognitions run at once (default: one per core, at most "
           "4)\n"
           "  --queue N                 uploads that may wait for a worker (default 8)\n"
           "  --max-body-mb N           largest request body in MiB (default 110: an hour of\n"
           "                            16 kHz mono 16-bit WAV, 109.9 MiB, and the other parts\n"
           "                            of the upload); recordings over 3600 s are refused\n"
           "  --help                    this text\n";
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    ServiceConfig config;
    const auto hardware = std::thread::hardware_concurrency();
    config.workers = hardware == 0 ? 2 : std::min<std::size_t>(hardware, 4);
    bool haveListen = false;
    bool haveDataDir = false;

    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") {
            result.help = true;
            return result;
        }
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) {
            result.error = option.starts_with("--") ? option + " needs a value"
                                                    : "unexpected argument " + option;
            return result;
        }
        const std::string& value = args[++i];
        auto positive = [&](std::int64_t maximum) { return parseInteger(value, 1, maximum); };
        if (option == "--listen") {
            if (!parseListen(value, config)) {
                result.error = "--listen needs HOST:PORT, got " + value;
                return result;
            }
            haveListen = true;
        } else if (option == "--data-dir") {
            if (value.empty()) {
                result.error = "--data-dir needs a folder";
                return result;
            }
            config.dataDir = value;
            haveDataDir = true;
        } else if (option == "--daily-limit") {
            const auto limit = positive(1'000'000'000);
            if (!limit) {
                result.error = "--daily-limit needs a whole number from 1, got " + value;
                return result;
            }
            config.dailyLimit = *limit;
        } else if (option == "--release-manifest") {
            config.releaseManifest = value;
        } else if (option == "--tls-cert") {
            config.tlsCert = value;
        } else if (option == "--tls-key") {
            config.tlsKey = value;
        } else if (option == "--model-dir") {
            config.modelDir = value;
        } else if (option == "--workers") {
            const auto workers = positive(64);
            if (!workers) {
                result.error = "--workers needs a whole number from 1 to 64, got " + value;
                return result;
            }
            config.workers = static_cast<std::size_t>(*workers);
        } else if (option == "--queue") {
            const auto queue = parseInteger(value, 0, 10'000);
            if (!queue) {
                result.error = "--queue needs a whole number from 0 to 10000, got " + value;
                return result;
            }
            config.queueCapacity = static_cast<std::size_t>(*queue);
        } else if (option == "--max-body-mb") {
            const auto megabytes = positive(1024);
            if (!megabytes) {
                result.error = "--max-body-mb needs a whole number from 1 to 1024, got " + value;
                return result;
            }
            config.maxBodyBytes = static_cast<std::size_t>(*megabytes) << 20;
        } else {
            result.error = "unknown option " + option;
            return result;
        }
    }
    if (!haveListen || !haveDataDir) {
        result.error = !haveListen ? "--listen is required" : "--data-dir is required";
        return result;
    }
    if (config.tlsCert.has_value() != config.tlsKey.has_value()) {
        result.error = "--tls-cert and --tls-key go together";
        return result;
    }
    // A waiting upload holds a connection thread, so there are enough for the queue and more.
    config.httpThreads =
        std::clamp<std::size_t>(config.workers + config.queueCapacity + 8, 16, 256);
    result.config = std::move(config);
    return result;
}

} // namespace skrib::service
