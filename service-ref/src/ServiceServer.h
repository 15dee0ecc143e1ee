#pragma once

#include "ReleaseManifest.h"
#include "ServiceConfig.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
} // namespace httplib

namespace skrib::service {

class Storage;
class WorkPool;

/// The transcription service's HTTP interface:
///
/// | endpoint                      | device header | answer |
/// |-------------------------------|---------------|--------|
/// | POST /register                | no            | {"device_id", "first_seen", "last_seen"} |
/// | GET /update/check?v=VERSION   | no            | {"update_available", "latest", "download_url"}
/// | | POST /process (multipart)     | yes           | {"raw", "refined", "total_ms", "id"} | | GET
/// /profile, POST /profile   | yes           | {"vocab", "style_preset", "custom_prompt"} | | POST
/// /style                   | yes           | the profile, as above | | GET
/// /transcripts?limit&after  | yes           | {"transcripts": [{"id", "raw", "refined",
/// "created_at"}], "has_more"} | | POST /logs                    | yes           | {"stored"} | |
/// GET /health                   | no            | {"status", "workers", "running", "queued"} |
///
/// Every error answers {"error": text} with a 4xx or 5xx status; one access-log line is written
/// per request.
class ServiceServer {
public:
    /// Milliseconds since the epoch (UTC); the daily limit and timestamps follow it.
    using Clock = std::function<std::int64_t()>;
    /// Receives one finished access-log line (without a line break); may be called from any
    /// thread.
    using AccessLog = std::function<void(const std::string& line)>;

    ServiceServer(ServiceConfig config, Storage& storage, WorkPool& pool,
                  std::optional<ReleaseManifest> manifest, Clock clock, AccessLog accessLog);
    ~ServiceServer();

    ServiceServer(const ServiceServer&) = delete;
    ServiceServer& operator=(const ServiceServer&) = delete;

    /// Loads the TLS files (when configured) and binds the listening socket; false with `error`
    /// set when either fails.
    bool bind(std::string& error);

    /// The bound port (the chosen one when the configuration asked for port 0).
    int port() const { return port_; }

    /// Serves until stop(); requests being handled are finished before it returns. False when
    /// serving failed.
    bool run();

    /// Stops accepting connections; callable from any thread, also before run() began (run()
    /// then returns at once).
    void stop();

private:
    void installRoutes();
    void handleRegister(const httplib::Request& req, httplib::Response& res);
    void handleUpdateCheck(const httplib::Request& req, httplib::Response& res);
    void handleProcess(const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& reader);
    void handleGetProfile(const httplib::Request& req, httplib::Response& res);
    void handlePostProfile(const httplib::Request& req, httplib::Response& res);
    void handleStyle(const httplib::Request& req, httplib::Response& res);
    void handleTranscripts(const httplib::Request& req, httplib::Response& res);
    void handleLogs(const httplib::Request& req, httplib::Response& res);
    void handleHealth(const httplib::Request& req, httplib::Response& res);
    void sendProfile(const std::string& deviceId, httplib::Response& res);
    void writeAccessLog(const httplib::Request& req, const httplib::Response& res);
    std::string bodyTooLarge() const;

    ServiceConfig config_;
    Storage& storage_;
    WorkPool& pool_;
    std::optional<ReleaseManifest> manifest_;
    Clock clock_;
    AccessLog accessLog_;
    std::unique_ptr<httplib::Server> http_;
    int port_ = -1;
    std::mutex runMutex_;
    bool stopRequested_ = false;
    std::atomic<bool> running_{false};
};

} // namespace skrib::service
