#include "FakeHttp.h"

#include <stdexcept>

namespace skrib::testing {

class FakeHttpClient::Session final : public HttpSession {
public:
    Session(FakeHttpClient& client, int index)
        : client_(client)
        , index_(index) {}
    std::int64_t dataTask(HttpRequest request, Completion completion) override {
        return client_.add(index_, std::move(request), std::move(completion));
    }
    // An answer carries no file, so it reads as a failed download.
    std::int64_t downloadTask(HttpRequest request, DownloadCompletion completion) override {
        return client_.add(index_, std::move(request), [completion](HttpResult r) {
            completion({r.taskId, r.response ? r.response->statusCode : 0, {}, r.error, {}});
        });
    }

private:
    FakeHttpClient& client_;
    int index_;
};

std::shared_ptr<HttpSession> FakeHttpClient::sharedSession() {
    std::lock_guard lock(mutex_);
    return shared_ ? shared_ : (shared_ = std::make_shared<Session>(*this, 0));
}

std::shared_ptr<HttpSession> FakeHttpClient::makeSession(HttpSessionConfiguration configuration) {
    std::lock_guard lock(mutex_);
    configurations_.push_back(std::move(configuration));
    return std::make_shared<Session>(*this, static_cast<int>(configurations_.size()));
}

std::int64_t FakeHttpClient::add(int session, HttpRequest request,
                                 HttpSession::Completion completion) {
    std::unique_lock lock(mutex_);
    const std::int64_t id = nextTask_++;
    const auto failure = failEverything;
    sent_.push_back(Sent{id, session, std::move(request), completion, failure.has_value()});
    lock.unlock();
    if (failure) {
        completion(HttpResult{id, std::nullopt, failure});
    }
    return id;
}

FakeHttpClient::Sent FakeHttpClient::take(std::size_t index) {
    std::lock_guard lock(mutex_);
    if (index >= sent_.size() || sent_[index].answered) {
        throw std::logic_error("no unanswered request at that index");
    }
    sent_[index].answered = true;
    return sent_[index];
}

void FakeHttpClient::respond(std::size_t index, int status, std::string body,
                             std::optional<NetworkTiming> timing) {
    const Sent s = take(index);
    std::function<void(std::int64_t, const NetworkTiming&)> onMetrics;
    if (timing && s.session > 0) {
        std::lock_guard lock(mutex_);
        onMetrics = configurations_[static_cast<std::size_t>(s.session - 1)].onMetrics;
    }
    if (onMetrics) {
        onMetrics(s.taskId, *timing);
    }
    s.completion(HttpResult{s.taskId, HttpResponse{status, {}, std::move(body)}, std::nullopt});
}

} // namespace skrib::testing
