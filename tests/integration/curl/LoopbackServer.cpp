#include "LoopbackServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skrib::testing {

std::optional<RawRequest> LoopbackServer::Connection::readRequest() {
    const auto receive = [this]() {
        char chunk[16384];
        const ssize_t n = ::recv(socket_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    };
    std::size_t headEnd;
    while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
        if (!receive()) {
            return std::nullopt;
        }
    }
    RawRequest request;
    const std::string head = buffer_.substr(0, headEnd);
    buffer_.erase(0, headEnd + 4);
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto space = requestLine.find(' ');
    request.method = requestLine.substr(0, space);
    request.target = requestLine.substr(space + 1, requestLine.rfind(' ') - space - 1);
    std::size_t contentLength = 0;
    while (lineEnd != std::string::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line =
            head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        request.headers.emplace_back(line.substr(0, colon), value);
        if (strcasecmp(line.substr(0, colon).c_str(), "Content-Length") == 0) {
            contentLength = std::stoul(value);
        }
    }
    while (buffer_.size() < contentLength) {
        if (!receive()) {
            return std::nullopt;
        }
    }
    request.body = buffer_.substr(0, contentLength);
    buffer_.erase(0, contentLength);
    return request;
}

bool LoopbackServer::Connection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void LoopbackServer::Connection::waitForShutdown() {
    std::unique_lock lock(server_.lock_);
    server_.shutdown_.wait(lock, [this] { return server_.stopping_; });
}

LoopbackServer::Handler LoopbackServer::answering(int status, std::string body) {
    return [status, body](Connection& connection) {
        while (connection.readRequest()) {
            connection.send("HTTP/1.1 " + std::to_string(status) + " Answer\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);
        }
    };
}

LoopbackServer::Handler LoopbackServer::echoing() {
    return [](Connection& connection) {
        while (auto request = connection.readRequest()) {
            const std::string body(request->body.rbegin(), request->body.rend());
            connection.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body);
        }
    };
}

LoopbackServer::LoopbackServer(Handler handler, const char* address)
    : handler_(std::move(handler))
    , address_(address) {
    const bool ipv6 = address_.find(':') != std::string::npos;
    listener_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (ipv6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(storage);
        a.sin6_family = AF_INET6;
        inet_pton(AF_INET6, address, &a.sin6_addr);
        length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(storage);
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        length = sizeof a;
    }
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        const std::string reason = std::strerror(errno);
        if (listener_ >= 0) {
            ::close(listener_);
        }
        throw std::runtime_error("cannot listen on " + address_ + ": " + reason);
    }
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                       : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
        for (const int socket : openSockets_) {
            ::shutdown(socket, SHUT_RDWR); // wakes a handler blocked in recv
        }
    }
    shutdown_.notify_all();
    ::shutdown(listener_, SHUT_RDWR); // wakes accept()
    acceptor_.join();
    for (std::thread& worker : workers_) {
        worker.join();
    }
    ::close(listener_);
}

std::string LoopbackServer::url(const std::string& path) const {
    const bool ipv6 = address_.find(':') != std::string::npos;
    return "http://" + (ipv6 ? "[" + address_ + "]" : address_) + ":" + std::to_string(port_) +
           path;
}

void LoopbackServer::acceptLoop() {
    while (true) {
        const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard lock(lock_);
        if (socket < 0) {
            if (stopping_) {
                return;
            }
            continue;
        }
        if (stopping_) {
            ::close(socket);
            return;
        }
        openSockets_.push_back(socket);
        ++accepted_;
        mostOpen_ = std::max(mostOpen_.load(), static_cast<int>(openSockets_.size()));
        workers_.emplace_back([this, socket] { serve(socket); });
    }
}

void LoopbackServer::serve(int socket) {
    Connection connection(*this, socket);
    handler_(connection);
    std::lock_guard lock(lock_);
    openSockets_.erase(std::find(openSockets_.begin(), openSockets_.end(), socket));
    ::close(socket);
}

} // namespace skrib::testing
