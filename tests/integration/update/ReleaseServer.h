#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace skrib::testing {

/// The service's release side on 127.0.0.1 (an ephemeral port): "/update/check" offers one
/// version, and "/releases/..." answers with whatever the test put there.
class ReleaseServer {
public:
    ReleaseServer();
    ~ReleaseServer();
    ReleaseServer(const ReleaseServer&) = delete;
    ReleaseServer& operator=(const ReleaseServer&) = delete;

    std::string url(const std::string& path) const;

    /// The check answers that `version` is available at `downloadURL`.
    void offer(const std::string& version, const std::string& downloadURL);
    /// What a GET under "/releases/" answers.
    void answerDownloads(int status, std::string contentType, std::string body);

    /// Every request so far as "METHOD target", in arrival order.
    std::vector<std::string> requests() const;

private:
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::thread thread_;

    mutable std::mutex lock_;
    std::string checkAnswer_;
    int downloadStatus_ = 404;
    std::string downloadType_ = "text/plain";
    std::string downloadBody_;
    std::vector<std::string> requests_;
};

} // namespace skrib::testing
