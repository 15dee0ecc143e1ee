#pragma once

#include "platform/HttpClient.h"

#include <mutex>
#include <vector>

namespace skrib::testing {

/// An HTTP stack that records every request and answers only when the test says so.
class FakeHttpClient final : public HttpClient {
public:
    struct Sent {
        std::int64_t taskId;
        int session; // 0: the shared session, else the index of makeSession + 1
        HttpRequest request;
        HttpSession::Completion completion;
        bool answered = false;
    };

    /// When set, every request fails at once (inside dataTask) with this error.
    std::optional<HttpError> failEverything;

    std::shared_ptr<HttpSession> sharedSession() override;
    std::shared_ptr<HttpSession> makeSession(HttpSessionConfiguration configuration) override;

    std::vector<Sent> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }

    /// Answers request `index` (in sending order) with an HTTP response, after reporting
    /// `timing` to its session's metrics callback when given.
    void respond(std::size_t index, int status, std::string body,
                 std::optional<NetworkTiming> timing = std::nullopt);
    /// Fails request `index` with a transport error.
    void fail(std::size_t index, int code, std::string description) {
        const Sent s = take(index);
        s.completion(HttpResult{s.taskId, std::nullopt, HttpError{code, std::move(description)}});
    }

private:
    class Session;
    std::int64_t add(int session, HttpRequest request, HttpSession::Completion completion);
    Sent take(std::size_t index); // marks it answered

    mutable std::mutex mutex_;
    std::vector<Sent> sent_;
    std::vector<HttpSessionConfiguration> configurations_;
    std::shared_ptr<HttpSession> shared_;
    std::int64_t nextTask_ = 1;
};

} // namespace skrib::testing
