#pragma once

#include "LoopbackServer.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace skrib::testing {

/// An ordinary HTTP or HTTPS server (cpp-httplib) on 127.0.0.1, an ephemeral port.
/// - any method on /echo: 202, the request body reversed, and the request's method and
///   "X-Skrib-Probe" header sent back as "X-Echo-Method" and "X-Echo-Probe";
/// - /slow: like /echo, but only after holding the request 300 ms.
/// It remembers the last request it got.
class EchoServer {
public:
    static constexpr int echoStatus = 202;
    static constexpr int slowMilliseconds = 300;

    /// Plain HTTP.
    EchoServer();
    /// HTTPS with the given certificate chain and key files.
    EchoServer(const std::string& certificateFile, const std::string& keyFile);
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const;
    std::optional<RawRequest> lastRequest() const;

    static std::string reversed(std::string text);

private:
    void start();

    bool tls_ = false;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex lock_;
    std::optional<RawRequest> last_;
};

} // namespace skrib::testing
