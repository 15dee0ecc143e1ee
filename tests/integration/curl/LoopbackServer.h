#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace skrib::testing {

/// One HTTP/1.1 request as it arrived.
struct RawRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

/// A bare HTTP/1.1 server on 127.0.0.1 (an ephemeral port) for behaviour no well-mannered
/// server shows: stalling, hanging up half-way, holding requests. Every connection runs the
/// handler on its own thread; the server counts connections as they open and close. The
/// destructor closes everything and joins every thread.
class LoopbackServer {
public:
    class Connection {
    public:
        /// The next request (head and Content-Length body); none once the peer has closed.
        std::optional<RawRequest> readRequest();
        /// Sends raw bytes; false when the peer is gone.
        bool send(std::string_view bytes);
        /// Blocks until the server shuts down (a server that never answers).
        void waitForShutdown();

    private:
        friend class LoopbackServer;
        Connection(LoopbackServer& server, int socket)
            : server_(server)
            , socket_(socket) {}

        LoopbackServer& server_;
        int socket_;
        std::string buffer_;
    };
    using Handler = std::function<void(Connection&)>;

    /// Answers each request on a connection with `status` and `body`, keeping it open.
    static Handler answering(int status, std::string body);
    /// Answers each request on a connection with 200 and its body reversed.
    static Handler echoing();

    explicit LoopbackServer(Handler handler, const char* address = "127.0.0.1");
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/") const;

    /// Connections accepted so far, and the most that were open at one time.
    int acceptedConnections() const { return accepted_; }
    int mostOpenConnections() const { return mostOpen_; }

private:
    void acceptLoop();
    void serve(int socket);

    Handler handler_;
    std::string address_;
    int listener_ = -1;
    int port_ = 0;
    std::thread acceptor_;

    mutable std::mutex lock_;
    std::condition_variable shutdown_;
    bool stopping_ = false;
    std::list<std::thread> workers_;
    std::vector<int> openSockets_;
    std::atomic<int> accepted_{0};
    std::atomic<int> mostOpen_{0};
};

} // namespace skrib::testing
