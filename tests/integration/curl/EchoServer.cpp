#include "EchoServer.h"

#include <algorithm>
#include <chrono>
#include <httplib.h>
#include <stdexcept>

namespace skrib::testing {

EchoServer::EchoServer()
    : server_(std::make_unique<httplib::Server>()) {
    start();
}

EchoServer::EchoServer(const std::string& certificateFile, const std::string& keyFile)
    : tls_(true)
    , server_(std::make_unique<httplib::SSLServer>(certificateFile.c_str(), keyFile.c_str())) {
    start();
}

EchoServer::~EchoServer() {
    server_->stop();
    thread_.join();
}

std::string EchoServer::url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::optional<RawRequest> EchoServer::lastRequest() const {
    std::lock_guard lock(lock_);
    return last_;
}

std::string EchoServer::reversed(std::string text) {
    std::reverse(text.begin(), text.end());
    return text;
}

void EchoServer::start() {
    if (!server_->is_valid()) {
        throw std::runtime_error("the test server cannot start (bad certificate or key?)");
    }
    const auto echo = [this](const httplib::Request& request, httplib::Response& response) {
        RawRequest seen;
        seen.method = request.method;
        seen.target = request.path;
        seen.body = request.body;
        for (const auto& [name, value] : request.headers) {
            seen.headers.emplace_back(name, value);
        }
        {
            std::lock_guard lock(lock_);
            last_ = seen;
        }
        if (request.path == "/slow") {
            std::this_thread::sleep_for(std::chrono::milliseconds(slowMilliseconds));
        }
        response.status = echoStatus;
        response.set_header("X-Echo-Method", request.method);
        response.set_header("X-Echo-Probe", request.get_header_value("X-Skrib-Probe"));
        response.set_content(reversed(request.body), "application/octet-stream");
    };
    for (const char* path : {"/echo", "/slow"}) {
        server_->Get(path, echo);
        server_->Post(path, echo);
        server_->Put(path, echo);
        server_->Patch(path, echo);
        server_->Delete(path, echo);
    }
    server_->set_keep_alive_max_count(1000);
    // Headers and body go out in separate writes; with Nagle's algorithm the body would wait
    // for the client's delayed acknowledgement (40 ms) on every reused connection.
    server_->set_tcp_nodelay(true);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("the test server cannot listen on 127.0.0.1");
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // The socket listens already; waiting for the loop only keeps stop() from racing its start.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_->is_running() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace skrib::testing
