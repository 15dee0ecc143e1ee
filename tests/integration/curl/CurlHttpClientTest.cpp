// The libcurl HTTP stack against servers this test starts on loopback: cpp-httplib for ordinary
// HTTP and HTTPS (certificates made by make-certificates), a bare socket server for misbehaviour.
// It runs in a network namespace with loopback only (see tests/CMakeLists.txt), so the rows for
// unknown hosts and other computers cannot send anything off this computer.

#include "service/curl/CurlHttpClient.h"

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <httplib.h>
#include <list>
#include <strings.h>
#include <sys/stat.h>

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
    return {std::istreambuf_iterator<char>(in), {}};
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
    const auto h = std::find_if(headers.begin(), headers.end(), [&](const HttpHeader& h) {
        return strcasecmp(h.name.c_str(), name.c_str()) == 0;
    });
    return h == headers.end() ? "(none)" : h->value;
}

// A bare server on 127.0.0.1 for what cpp-httplib will not do: "GET /stall" is read until the
// client hangs up, "GET /cut" gets 99 of 1000 bytes, a TLS hello a plain HTTP answer, and any
// other request a hang-up without an answer. One thread per connection.
struct BareServer {
    BareServer() {
        sockaddr_in a{static_cast<sa_family_t>(AF_INET), 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof a;
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), length), ::listen(listener, 64);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
        acceptor = std::thread([this] {
            for (int s; (s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                const timeval limit{5, 0}; // a worker gives up after 5 s without a byte
                ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                workers.emplace_back([this, s] { answer(s), ::close(s); });
            }
        });
    }
    ~BareServer() {
        ::shutdown(listener, SHUT_RDWR), acceptor.join();
        std::ranges::for_each(workers, &std::thread::join), ::close(listener);
    }
    static std::string receive(int s) { // a request head or a TLS hello; "" once the peer is gone
        std::string data;
        char chunk[4096];
        while (!data.starts_with('\x16') && data.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(s, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return "";
            }
            data.append(chunk, static_cast<std::size_t>(n));
        }
        return data;
    }
    void answer(int s) {
        const std::string in = receive(s);
        const auto send = [s](const std::string& b) {
            ::send(s, b.data(), b.size(), MSG_NOSIGNAL);
        };
        if (in.starts_with('\x16')) {
            send("HTTP/1.1 400 X\r\n\r\n");
        } else if (in.starts_with("GET /cut")) {
            send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(99, 'x'));
        } else if (in.starts_with("GET /stall")) {
            for (++stalling; !receive(s).empty();) {
            }
            --stalling;
        }
    }

    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    std::atomic<int> stalling{0};
    std::thread acceptor;
    std::list<std::thread> workers; // only the acceptor adds, until it is joined
};

// cpp-httplib on 127.0.0.1, plain ("http") or with the named certificate. "/fine", "/gone" (404),
// "/moved" (302 to "/fine"), "/big", "/chunked" (1 MiB without a length) and "/trickle" (8 bytes,
// one every 150 ms) answer as named; any other path answers 202 with the body reversed, the
// method and "X-Probe" echoed and the request noted, "/slow" only after 300 ms.
struct EchoServer {
    static constexpr int slowMs = 300;

    explicit EchoServer(const std::string& name)
        : scheme(name == "http" ? "http" : "https")
        , server(name == "http" ? std::make_unique<httplib::Server>()
                                : std::make_unique<httplib::SSLServer>(
                                      (certificates() + "/" + name + ".pem").c_str(),
                                      (certificates() + "/server.key").c_str())) {
        using In = const httplib::Request&;
        using Out = httplib::Response&;
        server->Get("/fine", [](In, Out out) { out.set_content("fine", "text/plain"); });
        server->Get("/gone", [](In, Out out) { out.status = 404, out.set_content("gone", "a/b"); });
        server->Get("/moved", [](In, Out out) {
            out.set_redirect("/fine", 302), out.set_content("moved", "text/plain");
        });
        server->Get("/big", [](In, Out out) { out.set_content(binary(300'000), "a/b"); });
        server->Get("/chunked", [](In, Out out) {
            out.set_chunked_content_provider("a/b", [](std::size_t at, httplib::DataSink& to) {
                return at < 1 << 20 ? to.write(binary(4096).data(), 4096) : (to.done(), true);
            });
        });
        server->Get("/trickle", [](In, Out out) {
            out.set_content_provider(8, "a/b", [](std::size_t, std::size_t, httplib::DataSink& to) {
                return std::this_thread::sleep_for(150ms), to.write("z", 1);
            });
        });
        const auto echo = [this](In in, Out out) {
            std::unique_lock lock(lock_);
            seen.push_back(in.method + " " + in.get_header_value("X-Probe") + " " + in.body);
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(in.path == "/slow" ? slowMs : 0));
            out.status = 202;
            out.set_header("X-Method", in.method);
            out.set_header("X-Probe", in.get_header_value("X-Probe"));
            out.set_content(std::string(in.body.rbegin(), in.body.rend()), "text/plain");
        };
        server->Get(".*", echo).Post(".*", echo).Put(".*", echo);
        server->set_tcp_nodelay(true); // else every reused connection waits 40 ms for an ACK
        port = server->bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server->listen_after_bind(); });
        while (!server->is_running()) {
            std::this_thread::sleep_for(1ms);
        }
    }
    ~EchoServer() { server->stop(), thread.join(); }
    std::string url(const std::string& path) const {
        return scheme + "://127.0.0.1:" + std::to_string(port) + path;
    }
    std::vector<std::string> take() { // the requests noted since the last call
        std::lock_guard lock(lock_);
        return std::exchange(seen, {});
    }

    std::string scheme;
    std::unique_ptr<httplib::Server> server;
    int port = 0;
    std::thread thread;
    std::mutex lock_;
    std::vector<std::string> seen;
};

// One bare server and one echo server per certificate for each test suite. In URLs "{name}"
// stands for that server's port.
struct Servers {
    BareServer bare;
    std::map<std::string, std::unique_ptr<EchoServer>> echo;

    Servers() {
        for (const char* name : {"http", "trusted", "self-signed", "unknown-authority",
                                 "wrong-host", "expired", "not-yet-valid"}) {
            echo[name] = std::make_unique<EchoServer>(name);
        }
    }
    std::string resolve(std::string url) const {
        if (const auto at = url.find('{'), end = url.find('}'); at != std::string::npos) {
            const std::string name = url.substr(at + 1, end - at - 1);
            url.replace(at, end - at + 1,
                        std::to_string(name == "bare" ? bare.port : echo.at(name)->port));
        }
        return url;
    }
};

class CurlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { servers_ = std::make_unique<Servers>(); }
    static void TearDownTestSuite() { servers_.reset(); }
    void TearDown() override { fs::remove_all(folder_); }
    CurlHttpClient::Options options(bool trustTestAuthority = true) const {
        return {trustTestAuthority ? certificates() + "/authority.pem" : "", folder_};
    }
    static inline std::unique_ptr<Servers> servers_;
    std::string folder_ = temporaryFolder("skrib-curl-test"); // also the download folder
};

// ---------------------------------------------------------------------------------------------
// What one request comes to, by server behaviour and URL.

struct OutcomeCase {
    const char* name;
    std::string url;
    int error = 0; // else the answer below
    int status = 0;
    std::string body = "";
    double timeout = 10;
    bool download = false;
    bool trustTestAuthority = true;
    std::string downloadFolder = ""; // below the test's folder
    std::uint64_t maxBytes = 0;
    bool intoTestFolder = false; // the request names the test's folder
    std::string redirect = "";   // a download's redirectURL
};

void PrintTo(const OutcomeCase& c, std::ostream* out) {
    *out << c.name;
}

class Outcomes : public CurlTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(Outcomes, MapToAnAnswerOrOneErrorCode) {
    const OutcomeCase& c = GetParam();
    CurlHttpClient::Options settings = options(c.trustTestAuthority);
    settings.downloadFolder += c.downloadFolder;
    CurlHttpClient client(settings);
    HttpRequest r = request(servers_->resolve(c.url), "GET", "", c.timeout);
    r.headers = {{"X-Probe", c.name}};
    r.maxBytes = c.maxBytes;
    r.downloadFolder = c.intoTestFolder ? folder_ : "";

    std::promise<HttpResult> done; // a download's file is read into the body
    if (c.download) {
        client.sharedSession()->downloadTask(r, [&](DownloadResult d) {
            EXPECT_EQ(d.redirectURL, servers_->resolve(c.redirect));
            struct stat info {};
            const bool mine = ::stat(d.filePath.c_str(), &info) == 0 &&
                              (info.st_mode & 0777) == 0600 &&
                              fs::path(d.filePath).parent_path() == folder_;
            std::optional<HttpResponse> answer;
            if (!d.error) {
                answer = HttpResponse{d.statusCode, {}, mine ? readFile(d.filePath) : "stray"};
            }
            ::unlink(d.filePath.c_str());
            done.set_value({d.taskId, answer, d.error});
        });
    } else {
        client.sharedSession()->dataTask(r, [&](HttpResult d) { done.set_value(std::move(d)); });
    }
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready) << "no completion";
    const HttpResult result = future.get();
    EXPECT_NE(result.error.has_value(), result.response.has_value());
    EXPECT_EQ(result.error ? result.error->code : 0, c.error)
        << (result.error ? result.error->description : "");
    EXPECT_FALSE(result.error && result.error->description.empty()) << "says what went wrong";
    EXPECT_EQ(result.response ? result.response->statusCode : 0, c.status);
    EXPECT_EQ(result.response ? result.response->body : "", c.body);
    EXPECT_TRUE(fs::is_empty(folder_)) << "a download left its temporary file";
    for (const auto& [name, server] : servers_->echo) {
        EXPECT_TRUE(server->take().empty() || c.error == 0) << "sent over an unverified link";
    }
}

using O = OutcomeCase;
namespace e = urlError;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Requests, Outcomes, ::testing::Values(
    O{"Answer", "http://127.0.0.1:{http}/fine", 0, 200, "fine"},
    O{"ErrorStatusKeepsItsBody", "http://127.0.0.1:{http}/gone", 0, 404, "gone"},
    O{"RedirectIsNotFollowed", "http://127.0.0.1:{http}/moved", 0, 302, "moved"},
    O{.name = "DownloadRedirectIsResolved", .url = "http://127.0.0.1:{http}/moved", .status = 302, .body = "moved", .download = true, .redirect = "http://127.0.0.1:{http}/fine"},
    O{"LocalhostByName", "http://localhost:{http}/fine", 0, 200, "fine"},
    O{"Refused", "http://127.0.0.1:1/", e::cannotConnectToHost},
    O{"UnknownHost", "https://unknown-host.invalid/", e::cannotFindHost},
    O{"NoRoute", "https://192.0.2.1/", e::notConnectedToInternet},
    // Refused before anything is looked up or sent.
    O{"PlainHttpElsewhere", "http://192.0.2.1/", e::insecureConnectionRefused},
    O{"PlainHttpToAName", "http://skrib.invalid/", e::insecureConnectionRefused},
    O{"LoopbackAsUserName", "http://127.0.0.1@192.0.2.1/", e::insecureConnectionRefused},
    O{"NotHttp", "ftp://127.0.0.1/", e::unsupportedURL},
    O{"Malformed", "http://", e::badURL},
    O{"ServerStalls", "http://127.0.0.1:{bare}/stall", e::timedOut, 0, "", 0.5},
    O{"SlowButSteadyIsNotIdle", "http://127.0.0.1:{http}/trickle", 0, 200, "zzzzzzzz", 0.5},
    O{"HangUpMidBody", "http://127.0.0.1:{bare}/cut", e::networkConnectionLost},
    O{"HangUpWithoutAnswer", "http://127.0.0.1:{bare}/", e::networkConnectionLost},
    O{"TrustedCertificate", "https://127.0.0.1:{trusted}/echo", 0, 202, ""},
    O{"SelfSigned", "https://127.0.0.1:{self-signed}/", e::serverCertificateUntrusted},
    O{"UnknownAuthority", "https://127.0.0.1:{unknown-authority}/", e::serverCertificateHasUnknownRoot},
    O{"AuthorityNotAdded", "https://127.0.0.1:{trusted}/", e::serverCertificateHasUnknownRoot, 0, "", 10, false, false},
    O{"WrongHost", "https://127.0.0.1:{wrong-host}/", e::serverCertificateUntrusted},
    O{"Expired", "https://127.0.0.1:{expired}/", e::serverCertificateHasBadDate},
    O{"NotYetValid", "https://127.0.0.1:{not-yet-valid}/", e::serverCertificateNotYetValid},
    O{"ServerWithoutTls", "https://127.0.0.1:{bare}/", e::secureConnectionFailed},
    O{"Download", "http://127.0.0.1:{http}/big", 0, 200, binary(300'000), 10, true},
    O{"DownloadCutShort", "http://127.0.0.1:{bare}/cut", e::networkConnectionLost, 0, "", 10, true},
    O{"DownloadFolderMissing", "http://127.0.0.1:{http}/fine", e::cannotCreateFile, 0, "", 10, true, true, "/missing"},
    O{.name = "DownloadIntoTheRequestsFolder", .url = "http://127.0.0.1:{http}/fine", .status = 200, .body = "fine", .download = true, .downloadFolder = "/missing", .intoTestFolder = true},
    O{.name = "AtTheLimit", .url = "http://127.0.0.1:{http}/fine", .status = 200, .body = "fine", .download = true, .maxBytes = 4},
    O{.name = "LengthOverTheLimit", .url = "http://127.0.0.1:{http}/big", .error = e::dataLengthExceedsMaximum, .maxBytes = 1000},
    O{.name = "DownloadLengthOverTheLimit", .url = "http://127.0.0.1:{http}/big", .error = e::dataLengthExceedsMaximum, .download = true, .maxBytes = 1000},
    O{.name = "ChunkedOverTheLimit", .url = "http://127.0.0.1:{http}/chunked", .error = e::dataLengthExceedsMaximum, .maxBytes = 100'000},
    O{.name = "DownloadChunkedOverTheLimit", .url = "http://127.0.0.1:{http}/chunked", .error = e::dataLengthExceedsMaximum, .download = true, .maxBytes = 100'000}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---------------------------------------------------------------------------------------------
// Bodies, headers and timings round-trip. The first completion starts the second request, which
// reuses the first one's connection.

thread_local bool insideDataTask = false;

class RoundTrip : public CurlTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RoundTrip, BodiesHeadersAndTimingsArriveIntact) {
    const bool https = GetParam();
    EchoServer& server = *servers_->echo.at(https ? "trusted" : "http");
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
    std::promise<HttpResult> first, second;
    std::thread::id firstThread;
    bool reentered = false;
    insideDataTask = true;
    session->dataTask(request1, [&](HttpResult result) {
        events.push_back("completion " + std::to_string(result.taskId));
        reentered = insideDataTask, firstThread = std::this_thread::get_id();
        first.set_value(std::move(result));
        insideDataTask = true;
        session->dataTask(request(server.url("/echo"), "PUT", "abc"),
                          [&](HttpResult r) { second.set_value(std::move(r)); });
        insideDataTask = false;
    });
    insideDataTask = false;
    auto oneF = first.get_future(), twoF = second.get_future();
    ASSERT_TRUE(oneF.wait_for(10s) == std::future_status::ready &&
                twoF.wait_for(10s) == std::future_status::ready)
        << "a request did not complete";
    const HttpResult one = oneF.get(), two = twoF.get();
    ASSERT_TRUE(one.response && two.response) << "a request failed";
    EXPECT_NE(firstThread, std::this_thread::get_id()) << "completions run on the network thread";
    EXPECT_FALSE(reentered) << "a completion ran inside the dataTask that started it";
    EXPECT_EQ(server.take(),
              (std::vector<std::string>{"POST probe: 42 ; " + request1.body, "PUT  abc"}));
    EXPECT_EQ(one.response->statusCode, 202);
    EXPECT_EQ(header(one.response->headers, "X-Method"), "POST");
    EXPECT_EQ(header(one.response->headers, "x-probe"), "probe: 42 ;");
    EXPECT_EQ(one.response->body, std::string(request1.body.rbegin(), request1.body.rend()));
    EXPECT_EQ(two.response->body, "cba");
    EXPECT_EQ(events, (std::vector<std::string>{"metrics " + std::to_string(one.taskId),
                                                "completion " + std::to_string(one.taskId),
                                                "metrics " + std::to_string(two.taskId)}));
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

// At quit the program stops the client before the owners of its completions go: whatever is in
// flight or queued is abandoned, its completion destroyed without being called.
TEST_F(CurlTest, ShuttingDownAbandonsWhatIsInFlight) {
    CurlHttpClient client(options());
    HttpSessionConfiguration one;
    one.maxConnectionsPerHost = 1;
    const auto limited = client.makeSession(one);
    auto owner = std::make_shared<int>(0); // stands for the objects a completion writes to
    const std::weak_ptr<int> watch = owner;
    const auto stall = servers_->resolve("http://127.0.0.1:{bare}/stall");
    for (int i = 0; i < 3; ++i) { // two of the limited ones wait
        for (HttpSession* session : {client.sharedSession().get(), limited.get()}) {
            session->dataTask(request(stall), [owner](HttpResult) { ++*owner, ADD_FAILURE(); });
        }
    }
    client.sharedSession()->downloadTask(request(stall), [owner](DownloadResult) { ADD_FAILURE(); });
    for (int i = 0; i < 1000 && servers_->bare.stalling < 5; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(servers_->bare.stalling.load(), 5) << "the requests never reached the server";
    limited->dataTask(request(stall), [owner](HttpResult) { ADD_FAILURE(); }); // maybe not started
    owner.reset();
    client.shutDown();
    EXPECT_TRUE(watch.expired()) << "a completion was kept";
    EXPECT_TRUE(fs::is_empty(folder_)) << "a download's file was left";
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
