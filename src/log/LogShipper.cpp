#include "log/LogShipper.h"

#include "platform/Url.h"

#include <ctime>
#include <nlohmann/json.hpp>

namespace skrib {

std::shared_ptr<LogShipper> LogShipper::create(std::string baseURL,
                                               std::shared_ptr<HttpSession> session,
                                               Scheduler& mainQueue,
                                               std::function<std::string()> deviceId) {
    std::shared_ptr<LogShipper> shipper(
        new LogShipper(std::move(baseURL), std::move(session), mainQueue, std::move(deviceId)));
    shipper->startTimer();
    return shipper;
}

LogShipper::LogShipper(std::string baseURL, std::shared_ptr<HttpSession> session,
                       Scheduler& mainQueue, std::function<std::string()> deviceId)
    : baseURL_(std::move(baseURL))
    , session_(std::move(session))
    , mainQueue_(mainQueue)
    , deviceId_(std::move(deviceId)) {}

void LogShipper::startTimer() {
    std::weak_ptr<LogShipper> weak = weak_from_this();
    mainQueue_.postAfter(5.0, [weak] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        auto timer = self->mainQueue_.scheduleRepeating(60.0, [weak] {
            if (auto shipper = weak.lock()) {
                shipper->flush();
            }
        });
        std::lock_guard lock(self->bufferLock_);
        self->flushTimer_ = std::move(timer);
    });
}

std::string LogShipper::isoTimestamp(WallClock::time_point time) {
    const std::time_t t = WallClock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

void LogShipper::log(std::string_view message, std::string_view level, std::string_view source) {
    Entry entry{{"message", std::string(message)},
                {"level", std::string(level)},
                {"source", std::string(source)},
                {"ts", isoTimestamp(mainQueue_.now())}};
    bool due = false;
    {
        std::lock_guard lock(bufferLock_);
        buffer_.push_back(std::move(entry));
        while (buffer_.size() > maxBuffer) {
            buffer_.pop_front();
        }
        due = buffer_.size() >= flushThreshold;
    }
    if (due) {
        flush();
    }
}

void LogShipper::flush() {
    std::deque<Entry> batch;
    {
        std::lock_guard lock(bufferLock_);
        if (buffer_.empty()) {
            return;
        }
        batch.swap(buffer_);
    }
    const std::string deviceId = deviceId_ ? deviceId_() : std::string();
    if (deviceId.empty()) {
        return; // no identity yet: the batch is dropped
    }
    const std::string url = baseURL_ + "/logs";
    if (!isValidHttpURL(url)) {
        return;
    }
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& entry : batch) {
        entries.push_back(entry);
    }
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "application/json"}, {"x-device-id", deviceId}};
    request.timeoutSeconds = 10;
    request.body = nlohmann::json{{"entries", std::move(entries)}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::weak_ptr<LogShipper> weak = weak_from_this();
    session_->dataTask(std::move(request), [weak, batch = std::move(batch)](HttpResult result) {
        // Any HTTP answer counts as delivered; only a transport failure puts the batch back.
        if (!result.error) {
            return;
        }
        if (auto self = weak.lock()) {
            self->requeue(std::move(batch));
        }
    });
}

void LogShipper::requeue(std::deque<Entry> batch) {
    std::lock_guard lock(bufferLock_);
    buffer_.insert(buffer_.begin(), std::make_move_iterator(batch.begin()),
                   std::make_move_iterator(batch.end()));
    while (buffer_.size() > maxBuffer) {
        buffer_.pop_front();
    }
}

std::deque<LogShipper::Entry> LogShipper::pending() const {
    std::lock_guard lock(bufferLock_);
    return buffer_;
}

} // namespace skrib
