#pragma once

#include "platform/HttpClient.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <curl/curl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace skrib {

/// The network thread behind CurlHttpClient. Each session is a libcurl multi handle (its own
/// connection pool and connection limit); one thread waits in epoll on the sockets of all of
/// them, plus an eventfd that other threads ring when they hand it work, and drives each multi
/// handle with curl_multi_socket_action. libcurl handles are touched on this thread only.
/// The public functions are thread-safe.
class CurlEngine {
public:
    struct Options {
        std::string extraCaFile;
        std::string downloadFolder;
    };
    using MetricsCallback = std::function<void(std::int64_t taskId, const NetworkTiming&)>;

    /// Starts the thread. Throws std::runtime_error when the extra certificates cannot be read
    /// or the thread cannot be set up.
    static std::shared_ptr<CurlEngine> start(Options options);
    ~CurlEngine();
    CurlEngine(const CurlEngine&) = delete;
    CurlEngine& operator=(const CurlEngine&) = delete;

    /// A new connection pool with at most `maxConnectionsPerHost` connections to one host (0:
    /// no limit); `onMetrics` (may be empty) gets each finished task's timing.
    std::uint32_t addSession(int maxConnectionsPerHost, MetricsCallback onMetrics);
    /// Closes the pool once its running tasks have finished.
    void releaseSession(std::uint32_t session);

    std::int64_t dataTask(std::uint32_t session, HttpRequest request,
                          HttpSession::Completion completion);
    std::int64_t downloadTask(std::uint32_t session, HttpRequest request,
                              HttpSession::DownloadCompletion completion);

    /// Abandons what is pending (its completions are destroyed without being called), stops the
    /// thread and waits for it, unless called on the thread itself. Work handed over later is
    /// dropped the same way.
    void stop();

private:
    struct Certificates;
    struct Command;
    struct Session;
    struct Transfer;
    using Clock = std::chrono::steady_clock;

    explicit CurlEngine(Options options);

    std::int64_t post(std::unique_ptr<Transfer> transfer);
    bool post(Command command);
    void wake();

    // Network thread.
    void run();
    bool takeCommands();
    void openSession(Command& command);
    void startTransfer(std::unique_ptr<Transfer> transfer);
    std::optional<HttpError> configure(Transfer& transfer);
    void handleEvent(std::uint64_t key, std::uint32_t events);
    void fireTimers();
    void collectFinished();
    void expireIdleTransfers();
    void closeReleasedSessions();
    int waitMilliseconds() const;
    void finish(Session* session, std::unique_ptr<Transfer> transfer, int curlCode);
    void deliver(std::unique_ptr<Transfer> transfer, int statusCode,
                 std::optional<HttpError> error);
    void shutdown();

    // libcurl callbacks of the multi handles.
    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* session,
                        void* socketData);
    static int onTimer(CURLM* multi, long milliseconds, void* session);

    Options options_;
    std::shared_ptr<const Certificates> extraCertificates_;
    int epoll_ = -1;
    int wakeEvent_ = -1;
    std::thread thread_;
    std::atomic<std::uint32_t> lastSession_{0};

    std::mutex lock_;
    bool stopping_ = false;         // guarded by lock_
    std::vector<Command> commands_; // guarded by lock_

    std::map<std::uint32_t, std::unique_ptr<Session>> sessions_; // network thread only
};

} // namespace skrib
