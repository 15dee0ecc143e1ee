#pragma once

#include "log/LogSink.h"
#include "platform/HttpClient.h"
#include "platform/Scheduler.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace skrib {

/// Sends every logged message to the service in batches: whenever 20 have gathered and once a
/// minute. Best effort: at most 200 entries wait (the oldest go first), a batch that met a
/// transport failure is put back in front, and nothing ever blocks or fails the caller.
class LogShipper final : public LogSink, public std::enable_shared_from_this<LogShipper> {
public:
    using Entry = std::map<std::string, std::string>;

    static constexpr std::size_t maxBuffer = 200;
    static constexpr std::size_t flushThreshold = 20;

    /// A shipper posting to `baseURL` + "/logs" through `session`; `deviceId` answers the
    /// current device identifier (empty while there is none). Its timer starts 5 s later.
    static std::shared_ptr<LogShipper> create(std::string baseURL,
                                              std::shared_ptr<HttpSession> session,
                                              Scheduler& mainQueue,
                                              std::function<std::string()> deviceId);

    /// Queues one entry; flushes on this thread once 20 are waiting. Any thread.
    void log(std::string_view message, std::string_view level, std::string_view source) override;

    /// Sends everything waiting as one batch. Any thread.
    void flush();

    /// The waiting entries, oldest first.
    std::deque<Entry> pending() const;

    /// "2026-12-05T08:26:45Z"
    static std::string isoTimestamp(WallClock::time_point time);

private:
    LogShipper(std::string baseURL, std::shared_ptr<HttpSession> session, Scheduler& mainQueue,
               std::function<std::string()> deviceId);
    void startTimer();
    void requeue(std::deque<Entry> batch);

    std::string baseURL_;
    std::shared_ptr<HttpSession> session_;
    Scheduler& mainQueue_;
    std::function<std::string()> deviceId_;

    mutable std::mutex bufferLock_;
    std::deque<Entry> buffer_;
    std::shared_ptr<WorkItem> flushTimer_;
};

} // namespace skrib
