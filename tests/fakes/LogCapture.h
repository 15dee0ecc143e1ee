#pragma once

#include "log/DebugLog.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace skrib::testing {

/// Collects every logged message for the life of the object; the log files stay untouched.
class LogCapture {
public:
    LogCapture() {
        setLogPaths({}, {});
        setLogSink(sink_);
    }
    ~LogCapture() {
        setLogSink(nullptr);
        setLogPaths(savedLogPath_, savedTmpLogPath_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> messages() const {
        std::lock_guard lock(sink_->mutex);
        return sink_->messages;
    }
    /// Messages that contain `text`.
    std::vector<std::string> matching(const std::string& text) const {
        auto out = messages();
        std::erase_if(out, [&](const auto& m) { return m.find(text) == std::string::npos; });
        return out;
    }
    bool contains(const std::string& exact) const {
        return std::ranges::count(messages(), exact) > 0;
    }
    void clear() {
        std::lock_guard lock(sink_->mutex);
        sink_->messages.clear();
    }

private:
    struct Sink : LogSink {
        void log(std::string_view message, std::string_view, std::string_view) override {
            std::lock_guard lock(mutex);
            messages.emplace_back(message);
        }
        std::mutex mutex;
        std::vector<std::string> messages;
    };
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
    std::string savedLogPath_ = logPath();
    std::string savedTmpLogPath_ = tmpLogPath();
};

} // namespace skrib::testing
