// The libcurl HTTP stack against servers this test starts on loopback: cpp-httplib for ordinary
// HTTP and HTTPS (certificates made by make-certificates), a bare socket server for misbehaviour.
// It runs in a network namespace with loopback only (see tests/CMakeLists.txt), so the rows for
// unknown hosts and other computers cannot send anything off this computer.

#include "service/curl/CurlHttpClient.h"

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <httplib.h>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string temporaryFolder(const std::string& name) {
    const char* base = std::getenv("SKRIB_TEST_TMP");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/" + name + "-XXXXXX";
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The run's certificates: "<folder>/<name>.pem", all with the key "<folder>/server.key".
const std::string& certificates() {
    static const std::string folder = [] {
        const std::string f = temporaryFolder("skrib-certs");
        if (std::system(("sh " SKRIB_CURL_TEST_DIR "/make-certificates " + f).c_str()) != 0) {
            throw std::runtime_error("make-certificates failed:\n" + readFile(f + "/openssl.log"));
        }
        return f;
    }();
    return folder;
}
std::string certificate(const std::string& name) { return certificates() + "/" + name + ".pem"; }

// A value handed over from the network thread.
template <typename T>
class Handover {
public:
    void set(T value) {
        std::lock_guard lock(lock_);
        value_ = std::move(value);
        thread = std::this_thread::get_id();
        ++calls;
        changed_.notify_all();
    }
    std::optional<T> wait(std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(lock_);
        changed_.wait_for(lock, limit, [this] { return value_.has_value(); });
        return value_;
    }
    std::thread::id thread; // read after wait()
    int calls = 0;

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::optional<T> value_;
};

std::shared_ptr<Handover<HttpResult>> start(HttpSession& session, HttpRequest request) {
    auto outcome = std::make_shared<Handover<HttpResult>>();
    session.dataTask(std::move(request), [outcome](HttpResult r) { outcome->set(std::move(r)); });
    return outcome;
}

HttpRequest request(std::string url, std::string method = "GET", std::string body = "",
                    double timeoutSeconds = 10) {
    return {std::move(method), std::move(url), {}, std::move(body), timeoutSeconds};
}

std::string binary(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) % 256);
    }
    return bytes;
}

std::string header(const std::vector<HttpHeader>& headers, const std::string& name) {
    for (const HttpHeader& h : headers) {
        if (strcasecmp(h.name.c_str(), name.c_str()) == 0) {
            return h.value;
        }
    }
    return "(none)";
}

// A bare HTTP/1.1 server on 127.0.0.1 for misbehaviour: each connection runs the handler on a
// thread of its own. Handlers end when the client hangs up (or after 5 s without a byte).
class BareServer {
public:
    using Handler = std::function<void(int socket)>;

    explicit BareServer(Handler handler) {
        sockaddr_in a{static_cast<sa_family_t>(AF_INET), 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), length);
        ::listen(listener_, 64);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        base = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        acceptor_ = std::thread([this, handler] {
            for (int s; (s = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                const timeval limit{5, 0};
                ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                ++accepted;
                workers_.emplace_back([handler, s] {
                    handler(s);
                    ::close(s);
                });
            }
        });
    }
    ~BareServer() {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (std::thread& worker : workers_) {
            worker.join();
        }
        ::close(listener_);
    }

    // Reads one request (head and Content-Length body); false once the peer is gone.
    static bool read(int s) {
        std::string data;
        char chunk[16384];
        for (std::size_t end; (end = data.find("\r\n\r\n")) == std::string::npos ||
                              data.size() < end + 4 + contentLength(data);) {
            const ssize_t n = ::recv(s, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return false;
            }
            data.append(chunk, static_cast<std::size_t>(n));
        }
        return true;
    }
    static void send(int s, const std::string& bytes) {
        ::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    static Handler answering(int status, std::string body, std::string extra = "") {
        return [=](int s) {
            while (read(s)) {
                send(s, "HTTP/1.1 " + std::to_string(status) + " X\r\n" + extra +
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
            }
        };
    }

    std::string base; // "127.0.0.1:port"
    std::atomic<int> accepted{0};

private:
    static std::size_t contentLength(const std::string& head) {
        const auto at = head.find("Content-Length: ");
        return at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
    }

    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::thread acceptor_;
    std::list<std::thread> workers_; // only the acceptor adds, until it is joined
};

// cpp-httplib on 127.0.0.1, plain or with the named certificate: any path answers 202 with the
// body reversed and the method and "X-Probe" header echoed; "/slow" only after 300 ms.
class EchoServer {
public:
    static constexpr int slowMs = 300;

    explicit EchoServer(const std::string& name = "")
        : scheme_(name.empty() ? "http" : "https")
        , server_(name.empty() ? std::make_unique<httplib::Server>()
                               : std::make_unique<httplib::SSLServer>(
                                     certificate(name).c_str(),
                                     (certificates() + "/server.key").c_str())) {
        const auto echo = [this](const httplib::Request& in, httplib::Response& out) {
            {
                std::lock_guard lock(lock_);
                seen_.push_back(in.method + " " + in.get_header_value("X-Probe") + " " + in.body);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(in.path == "/slow" ? slowMs : 0));
            out.status = 202;
            out.set_header("X-Method", in.method);
            out.set_header("X-Probe", in.get_header_value("X-Probe"));
            out.set_content(std::string(in.body.rbegin(), in.body.rend()), "text/plain");
        };
        server_->Get(".*", echo).Post(".*", echo).Put(".*", echo);
        server_->set_tcp_nodelay(true); // else every reused connection waits 40 ms for an ACK
        port_ = server_->bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running()) {
            std::this_thread::sleep_for(1ms);
        }
    }
    ~EchoServer() {
        server_->stop();
        thread_.join();
    }
    std::string url(const std::string& path) const {
        return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> seen() const {
        std::lock_guard lock(lock_);
        return seen_;
    }

private:
    std::string scheme_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex lock_;
    std::vector<std::string> seen_;
};

class CurlTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(folder_); }
    CurlHttpClient::Options options(bool trustTestAuthority = true) const {
        return {trustTestAuthority ? certificate("authority") : "", folder_};
    }
    std::size_t filesLeft() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder_), {}));
    }

    std::string folder_ = temporaryFolder("skrib-curl-test"); // also the download folder
};

// ---------------------------------------------------------------------------------------------
// What one request comes to, by server behaviour and URL. In a row's URL "$" stands for the bare
// server's "127.0.0.1:port", "%" for its port, "@" for the HTTPS echo server.

void stall(int s) {
    if (BareServer::read(s)) {
        BareServer::read(s); // until the client gives up or the server stops
    }
}
void trickle(int s) { // 8 bytes, one every 150 ms: slow, but never idle for long
    if (BareServer::read(s)) {
        BareServer::send(s, "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n");
        for (int i = 0; i < 8; ++i) {
            std::this_thread::sleep_for(150ms);
            BareServer::send(s, "z");
        }
    }
}
void hangUpMidBody(int s) {
    if (BareServer::read(s)) {
        BareServer::send(s, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(99, 'x'));
    }
}
void hangUpWithoutAnswer(int s) { BareServer::read(s); }

struct OutcomeCase {
    const char* name;
    std::string url;
    BareServer::Handler bare;
    const char* certificate = nullptr; // an HTTPS echo server with this certificate
    int error = 0;                     // else the answer below
    int status = 0;
    std::string body = "";
    double timeout = 10;
    bool download = false;
    bool trustTestAuthority = true;
    std::string downloadFolder = ""; // below the test's folder
};

void PrintTo(const OutcomeCase& c, std::ostream* out) { *out << c.name; }

class Outcomes : public CurlTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(Outcomes, MapToAnAnswerOrOneErrorCode) {
    const OutcomeCase& c = GetParam();
    std::unique_ptr<BareServer> bare = c.bare ? std::make_unique<BareServer>(c.bare) : nullptr;
    std::unique_ptr<EchoServer> tls = c.certificate ? std::make_unique<EchoServer>(c.certificate)
                                                    : nullptr;
    std::string url = c.url;
    if (const auto at = url.find('$'); at != std::string::npos) {
        url.replace(at, 1, bare ? bare->base : BareServer([](int) {}).base); // gone: refuses
    }
    if (const auto at = url.find('%'); at != std::string::npos) {
        url.replace(at, 1, bare->base.substr(10)); // the port alone
    }
    if (const auto at = url.find('@'); at != std::string::npos && tls) {
        url = tls->url(url.substr(at + 1));
    }
    CurlHttpClient::Options settings = options(c.trustTestAuthority);
    settings.downloadFolder += c.downloadFolder;
    CurlHttpClient client(settings);
    const HttpRequest r = request(url, "GET", "", c.timeout);

    Handover<HttpResult> done; // a download's file is read into the body
    if (c.download) {
        client.sharedSession()->downloadTask(r, [&](DownloadResult d) {
            struct stat info {};
            const bool mine = ::stat(d.filePath.c_str(), &info) == 0 && (info.st_mode & 0777) == 0600;
            std::optional<HttpResponse> answer;
            if (!d.error) {
                answer = HttpResponse{d.statusCode, {}, mine ? readFile(d.filePath) : "not 0600"};
            }
            std::error_code ignored;
            fs::remove(d.filePath, ignored);
            done.set({d.taskId, answer, d.error});
        });
    } else {
        client.sharedSession()->dataTask(r, [&](HttpResult d) { done.set(std::move(d)); });
    }
    const auto outcome = done.wait();
    ASSERT_TRUE(outcome) << "no completion";
    const HttpResult& result = *outcome;
    EXPECT_NE(result.error.has_value(), result.response.has_value());
    EXPECT_EQ(result.error ? result.error->code : 0, c.error)
        << (result.error ? result.error->description : "");
    EXPECT_FALSE(result.error && result.error->description.empty()) << "says what went wrong";
    EXPECT_EQ(result.response ? result.response->statusCode : 0, c.status);
    EXPECT_EQ(result.response ? result.response->body : "", c.body);
    EXPECT_EQ(filesLeft(), 0u) << "a download left its temporary file";
    if (tls && c.error != 0) {
        EXPECT_EQ(tls->seen(), std::vector<std::string>{}) << "sent over an unverified connection";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Outcomes,
    ::testing::Values(
        OutcomeCase{"Answer", "http://$/", BareServer::answering(200, "fine"), nullptr, 0, 200,
                    "fine"},
        OutcomeCase{"ErrorStatusKeepsItsBody", "http://$/", BareServer::answering(404, "gone"),
                    nullptr, 0, 404, "gone"},
        OutcomeCase{"RedirectIsNotFollowed", "http://$/",
                    BareServer::answering(302, "moved", "Location: http://127.0.0.1:1/\r\n"),
                    nullptr, 0, 302, "moved"},
        OutcomeCase{"LocalhostByName", "http://localhost:%/", BareServer::answering(200, "ok"),
                    nullptr, 0, 200, "ok"},
        OutcomeCase{"Refused", "http://$/", nullptr, nullptr, urlError::cannotConnectToHost},
        OutcomeCase{"UnknownHost", "https://unknown-host.invalid/", nullptr, nullptr,
                    urlError::cannotFindHost},
        OutcomeCase{"NoRoute", "https://192.0.2.1/", nullptr, nullptr,
                    urlError::notConnectedToInternet},
        // Refused before anything is looked up or sent.
        OutcomeCase{"PlainHttpElsewhere", "http://192.0.2.1/", nullptr, nullptr,
                    urlError::insecureConnectionRefused},
        OutcomeCase{"PlainHttpToAName", "http://skrib-probe.invalid/", nullptr, nullptr,
                    urlError::insecureConnectionRefused},
        OutcomeCase{"LoopbackAsUserName", "http://127.0.0.1@192.0.2.1/", nullptr, nullptr,
                    urlError::insecureConnectionRefused},
        OutcomeCase{"NotHttp", "ftp://127.0.0.1/", nullptr, nullptr, urlError::unsupportedURL},
        OutcomeCase{"Malformed", "http://", nullptr, nullptr, urlError::badURL},
        OutcomeCase{"ServerStalls", "http://$/", stall, nullptr, urlError::timedOut, 0, "", 0.5},
        OutcomeCase{"SlowButSteadyIsNotIdle", "http://$/", trickle, nullptr, 0, 200, "zzzzzzzz",
                    0.5},
        OutcomeCase{"HangUpMidBody", "http://$/", hangUpMidBody, nullptr,
                    urlError::networkConnectionLost},
        OutcomeCase{"HangUpWithoutAnswer", "http://$/", hangUpWithoutAnswer, nullptr,
                    urlError::networkConnectionLost},
        OutcomeCase{"TrustedCertificate", "@/echo", nullptr, "trusted", 0, 202, ""},
        OutcomeCase{"SelfSigned", "@/", nullptr, "self-signed",
                    urlError::serverCertificateUntrusted},
        OutcomeCase{"UnknownAuthority", "@/", nullptr, "unknown-authority",
                    urlError::serverCertificateHasUnknownRoot},
        OutcomeCase{"AuthorityNotAdded", "@/", nullptr, "trusted",
                    urlError::serverCertificateHasUnknownRoot, 0, "", 10, false, false},
        OutcomeCase{"WrongHost", "@/", nullptr, "wrong-host", urlError::serverCertificateUntrusted},
        OutcomeCase{"Expired", "@/", nullptr, "expired", urlError::serverCertificateHasBadDate},
        OutcomeCase{"NotYetValid", "@/", nullptr, "not-yet-valid",
                    urlError::serverCertificateNotYetValid},
        OutcomeCase{"ServerWithoutTls", "https://$/",
                    [](int s) { BareServer::send(s, "HTTP/1.1 400 Plain\r\n\r\n"); }, nullptr,
                    urlError::secureConnectionFailed},
        OutcomeCase{"Download", "http://$/", BareServer::answering(200, binary(300'000)), nullptr,
                    0, 200, binary(300'000), 10, true},
        OutcomeCase{"DownloadCutShort", "http://$/", hangUpMidBody, nullptr,
                    urlError::networkConnectionLost, 0, "", 10, true},
        OutcomeCase{"DownloadFolderMissing", "http://$/", BareServer::answering(200, "x"), nullptr,
                    urlError::cannotCreateFile, 0, "", 10, true, true, "/missing"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Bodies, headers and timings round-trip. The first completion starts the second request, which
// reuses the first one's connection.

thread_local bool insideDataTask = false;

class RoundTrip : public CurlTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RoundTrip, BodiesHeadersAndTimingsArriveIntact) {
    const bool https = GetParam();
    EchoServer server(https ? "trusted" : "");
    std::vector<std::string> events; // network thread only, until `second` is handed over
    std::vector<NetworkTiming> timings;
    HttpSessionConfiguration configuration;
    configuration.onMetrics = [&](std::int64_t id, const NetworkTiming& timing) {
        events.push_back("metrics " + std::to_string(id));
        timings.push_back(timing);
    };
    CurlHttpClient client(options());
    const auto session = client.makeSession(configuration);
    HttpRequest request1 = request(server.url("/slow"), "POST", binary(70'000));
    request1.headers = {{"X-Probe", "probe: 42 ;"}, {"Content-Type", "application/octet-stream"}};
    Handover<HttpResult> first, second;
    bool reentered = false;
    insideDataTask = true;
    session->dataTask(request1, [&](HttpResult result) {
        events.push_back("completion " + std::to_string(result.taskId));
        reentered = insideDataTask;
        first.set(std::move(result));
        insideDataTask = true;
        session->dataTask(request(server.url("/echo"), "PUT", "abc"),
                          [&](HttpResult r) { second.set(std::move(r)); });
        insideDataTask = false;
    });
    insideDataTask = false;
    const auto one = first.wait(), two = second.wait();

    ASSERT_TRUE(one && one->response && two && two->response) << "a request did not complete";
    EXPECT_NE(first.thread, std::this_thread::get_id()) << "completions run on the network thread";
    EXPECT_FALSE(reentered) << "a completion ran inside the dataTask that started it";
    EXPECT_EQ(server.seen(), (std::vector<std::string>{"POST probe: 42 ; " + request1.body, "PUT  abc"}));
    EXPECT_EQ(one->response->statusCode, 202);
    EXPECT_EQ(header(one->response->headers, "X-Method"), "POST");
    EXPECT_EQ(header(one->response->headers, "x-probe"), "probe: 42 ;");
    EXPECT_EQ(one->response->body, std::string(request1.body.rbegin(), request1.body.rend()));
    EXPECT_EQ(two->response->body, "cba");
    EXPECT_EQ(events, (std::vector<std::string>{"metrics " + std::to_string(one->taskId),
                                                "completion " + std::to_string(one->taskId),
                                                "metrics " + std::to_string(two->taskId)}));
    ASSERT_EQ(timings.size(), 2u);
    const NetworkTiming &fresh = timings[0], &reused = timings[1];
    EXPECT_FALSE(fresh.reusedConnection) << fresh.summary();
    EXPECT_GT(fresh.connectMs, 0) << fresh.summary();
    EXPECT_EQ(fresh.tlsMs > 0, https) << fresh.summary();
    EXPECT_GE(fresh.serverMs, EchoServer::slowMs - 50) << fresh.summary();
    EXPECT_LT(fresh.uploadMs, EchoServer::slowMs - 50) << fresh.summary();
    EXPECT_GE(fresh.totalMs, fresh.connectMs + fresh.tlsMs + fresh.serverMs) << fresh.summary();
    EXPECT_TRUE(reused.reusedConnection) << reused.summary();
    EXPECT_EQ(reused.connectMs + reused.tlsMs, 0) << reused.summary();
    EXPECT_GT(reused.totalMs, 0) << reused.summary();
}

INSTANTIATE_TEST_SUITE_P(Schemes, RoundTrip, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Https" : "Http"; });

// ---------------------------------------------------------------------------------------------
// Shutdown with requests in flight.

TEST_F(CurlTest, DestroyingTheClientCancelsWhatIsInFlight) {
    BareServer server(stall);
    std::vector<std::shared_ptr<Handover<HttpResult>>> outcomes;
    {
        CurlHttpClient client(options());
        HttpSessionConfiguration one;
        one.maxConnectionsPerHost = 1;
        const auto limited = client.makeSession(one);
        const std::string url = "http://" + server.base + "/";
        for (int i = 0; i < 3; ++i) {
            outcomes.push_back(start(*client.sharedSession(), request(url)));
            outcomes.push_back(start(*limited, request(url))); // two of these wait
        }
        for (int i = 0; i < 1000 && server.accepted < 4; ++i) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_EQ(server.accepted.load(), 4) << "the requests never reached the server";
        outcomes.push_back(start(*limited, request(url))); // handed over, maybe not started
    }
    for (const auto& outcome : outcomes) {
        const auto result = outcome->wait(0ms); // the destructor waits for the cancellations
        ASSERT_TRUE(result) << "a task was left without completion";
        EXPECT_EQ(outcome->calls, 1);
        ASSERT_TRUE(result->error);
        EXPECT_EQ(result->error->code, urlError::unknown);
        EXPECT_NE(result->error->description.find("Cancelled"), std::string::npos);
    }
}

TEST_F(CurlTest, ASessionKeptPastItsClientDropsNewTasks) {
    std::shared_ptr<HttpSession> kept = CurlHttpClient(options()).makeSession({});
    auto sentinel = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = sentinel;
    kept->dataTask(request("http://127.0.0.1:9/"),
                   [sentinel](HttpResult) { ADD_FAILURE() << "ran after its client was gone"; });
    sentinel.reset();
    EXPECT_TRUE(watch.expired()) << "the completion was kept instead of dropped";
}

} // namespace
} // namespace skrib::testing
