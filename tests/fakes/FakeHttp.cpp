#include "FakeHttp.h"

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace skrib::testing {

class FakeHttpClient::Session final : public HttpSession {
public:
    Session(FakeHttpClient& client, int index)
        : client_(client)
        , index_(index) {}
    std::int64_t dataTask(HttpRequest request, Completion completion) override {
        return client_.add(index_, std::move(request), std::move(completion));
    }
    // The body of the answer lands in a temporary file, as with a real download.
    std::int64_t downloadTask(HttpRequest request, DownloadCompletion completion) override {
        return client_.add(index_, std::move(request), [completion](HttpResult r) {
            DownloadResult d;
            d.taskId = r.taskId;
            d.error = r.error;
            if (r.response) {
                d.statusCode = r.response->statusCode;
                char path[] = "/tmp/skrib-download-XXXXXX";
                const int fd = ::mkstemp(path);
                if (fd >= 0) {
                    [[maybe_unused]] auto n =
                        ::write(fd, r.response->body.data(), r.response->body.size());
                    ::close(fd);
                    d.filePath = path;
                }
            }
            completion(d);
        });
    }

private:
    FakeHttpClient& client_;
    int index_;
};

std::shared_ptr<HttpSession> FakeHttpClient::sharedSession() {
    std::lock_guard lock(mutex_);
    if (!shared_) {
        shared_ = std::make_shared<Session>(*this, 0);
    }
    return shared_;
}

std::shared_ptr<HttpSession> FakeHttpClient::makeSession(HttpSessionConfiguration configuration) {
    std::lock_guard lock(mutex_);
    configurations_.push_back(std::move(configuration));
    return std::make_shared<Session>(*this, static_cast<int>(configurations_.size()));
}

std::int64_t FakeHttpClient::add(int session, HttpRequest request,
                                 HttpSession::Completion completion) {
    std::int64_t id = 0;
    std::optional<HttpError> failure;
    {
        std::lock_guard lock(mutex_);
        id = nextTask_++;
        failure = failEverything;
        sent_.push_back(Sent{id, session, std::move(request), completion, failure.has_value()});
    }
    if (failure) {
        HttpResult result;
        result.taskId = id;
        result.error = failure;
        completion(std::move(result));
    }
    return id;
}

std::vector<FakeHttpClient::Sent> FakeHttpClient::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::vector<HttpSessionConfiguration> FakeHttpClient::configurations() const {
    std::lock_guard lock(mutex_);
    return configurations_;
}

HttpSession::Completion FakeHttpClient::take(std::size_t index, int& session,
                                             std::int64_t& taskId) {
    std::lock_guard lock(mutex_);
    if (index >= sent_.size() || sent_[index].answered) {
        throw std::logic_error("no unanswered request at that index");
    }
    sent_[index].answered = true;
    session = sent_[index].session;
    taskId = sent_[index].taskId;
    return sent_[index].completion;
}

void FakeHttpClient::respond(std::size_t index, int status, std::string body,
                             std::optional<NetworkTiming> timing) {
    int session = 0;
    std::int64_t taskId = 0;
    auto completion = take(index, session, taskId);
    if (timing && session > 0) {
        std::function<void(std::int64_t, const NetworkTiming&)> onMetrics;
        {
            std::lock_guard lock(mutex_);
            onMetrics = configurations_[static_cast<std::size_t>(session - 1)].onMetrics;
        }
        if (onMetrics) {
            onMetrics(taskId, *timing);
        }
    }
    HttpResult result;
    result.taskId = taskId;
    result.response = HttpResponse{status, {}, std::move(body)};
    completion(std::move(result));
}

void FakeHttpClient::fail(std::size_t index, int code, std::string description) {
    int session = 0;
    std::int64_t taskId = 0;
    auto completion = take(index, session, taskId);
    HttpResult result;
    result.taskId = taskId;
    result.error = HttpError{code, std::move(description)};
    completion(std::move(result));
}

} // namespace skrib::testing
