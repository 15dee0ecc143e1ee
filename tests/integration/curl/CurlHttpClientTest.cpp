// The libcurl HTTP stack against real servers this test starts on loopback: cpp-httplib for
// well-behaved HTTP and HTTPS, a bare socket server for misbehaviour. Run inside a network
// namespace that has only loopback (see tests/CMakeLists.txt), so that the tests of unknown
// hosts and unreachable networks cannot send anything off this computer.

#include "service/curl/CurlHttpClient.h"

#include "EchoServer.h"
#include "LoopbackServer.h"
#include "TestCertificates.h"
#include "service/curl/CurlUrl.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <map>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto waitLimit = 10s;

// ---------------------------------------------------------------------------------------------
// Helpers

// A value handed over from the network thread, with the thread it came from.
template <typename T>
class Outcome {
public:
    void set(T value) {
        std::lock_guard lock(lock_);
        ++calls_;
        value_ = std::move(value);
        thread_ = std::this_thread::get_id();
        changed_.notify_all();
    }

    std::optional<T> wait(std::chrono::milliseconds limit = waitLimit) {
        std::unique_lock lock(lock_);
        changed_.wait_for(lock, limit, [this] { return value_.has_value(); });
        return value_;
    }

    std::thread::id thread() const {
        std::lock_guard lock(lock_);
        return thread_;
    }

    int calls() const {
        std::lock_guard lock(lock_);
        return calls_;
    }

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::optional<T> value_;
    std::thread::id thread_;
    int calls_ = 0;
};

std::shared_ptr<Outcome<HttpResult>> start(HttpSession& session, HttpRequest request) {
    auto outcome = std::make_shared<Outcome<HttpResult>>();
    session.dataTask(std::move(request),
                     [outcome](HttpResult result) { outcome->set(std::move(result)); });
    return outcome;
}

// Runs one request to its end; a request that never completes fails the test.
HttpResult fetch(HttpSession& session, HttpRequest request) {
    auto result = start(session, std::move(request))->wait();
    if (!result) {
        ADD_FAILURE() << "the request did not complete";
        return HttpResult{};
    }
    return *result;
}

HttpRequest get(std::string url, double timeoutSeconds = 10) {
    HttpRequest request;
    request.url = std::move(url);
    request.timeoutSeconds = timeoutSeconds;
    return request;
}

// Bytes of every value, zeros included.
std::string binary(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) % 256);
    }
    return bytes;
}

std::optional<std::string> header(const std::vector<HttpHeader>& headers, const std::string& name) {
    for (const HttpHeader& h : headers) {
        if (strcasecmp(h.name.c_str(), name.c_str()) == 0) {
            return h.value;
        }
    }
    return std::nullopt;
}

std::optional<std::string> header(const RawRequest& request, const std::string& name) {
    for (const auto& [n, value] : request.headers) {
        if (strcasecmp(n.c_str(), name.c_str()) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

std::string describe(const HttpResult& result) {
    if (result.error) {
        return "error " + std::to_string(result.error->code) + ": " + result.error->description;
    }
    if (result.response) {
        return "status " + std::to_string(result.response->statusCode);
    }
    return "nothing";
}

// Whether this process sees no network but loopback, so nothing it sends can leave the computer.
bool onlyLoopback() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool only = true;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const bool addressed =
            entry->ifa_addr != nullptr &&
            (entry->ifa_addr->sa_family == AF_INET || entry->ifa_addr->sa_family == AF_INET6);
        if (addressed && (entry->ifa_flags & IFF_LOOPBACK) == 0 &&
            (entry->ifa_flags & IFF_UP) != 0) {
            only = false;
        }
    }
    freeifaddrs(list);
    return only;
}

// A loopback port that refuses connections: bound, never listening, held until destroyed.
class ClosedPort {
public:
    ClosedPort() {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), length);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~ClosedPort() { ::close(socket_); }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    std::string url(const std::string& scheme = "http") const {
        return scheme + "://127.0.0.1:" + std::to_string(port_) + "/";
    }

private:
    int socket_ = -1;
    int port_ = 0;
};

// Handlers of the bare server.
void stallAfterRequest(LoopbackServer::Connection& connection) {
    if (connection.readRequest()) {
        connection.waitForShutdown();
    }
}

void hangUpMidBody(LoopbackServer::Connection& connection) {
    if (connection.readRequest()) {
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'x'));
    }
}

void hangUpWithoutAnswer(LoopbackServer::Connection& connection) {
    connection.readRequest();
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

std::string contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// The client trusting the test authority, downloading into a folder of its own.
class CurlTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = makeTemporaryFolder("skrib-curl-test");
        downloads_ = folder_ + "/downloads";
        fs::create_directory(downloads_);
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    CurlHttpClient::Options options(bool trustTestAuthority = true) const {
        CurlHttpClient::Options options;
        if (trustTestAuthority) {
            options.extraCaFile = testCertificates().authority;
        }
        options.downloadFolder = downloads_;
        return options;
    }

    std::string folder_;
    std::string downloads_;
};

// Every table row prints as its name.
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

// ---------------------------------------------------------------------------------------------
// Which URLs may be requested at all (no network involved).

struct UrlCase {
    const char* name;
    const char* url;
    int expectedError; // 0: allowed
    bool loopback;
};

class UrlRules : public ::testing::TestWithParam<UrlCase> {};

TEST_P(UrlRules, AllowOnlyHttpsOrPlainHttpToThisComputer) {
    const UrlCase& c = GetParam();
    const auto parsed = CurlUrl::parse(c.url);
    if (c.expectedError == 0) {
        ASSERT_TRUE(std::holds_alternative<CurlUrl>(parsed))
            << std::get<HttpError>(parsed).description;
        EXPECT_EQ(std::get<CurlUrl>(parsed).isLoopback(), c.loopback);
    } else {
        ASSERT_TRUE(std::holds_alternative<HttpError>(parsed)) << "accepted " << c.url;
        EXPECT_EQ(std::get<HttpError>(parsed).code, c.expectedError)
            << std::get<HttpError>(parsed).description;
        EXPECT_FALSE(std::get<HttpError>(parsed).description.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Urls, UrlRules,
    ::testing::Values(UrlCase{"Loopback", "http://127.0.0.1:8080/x", 0, true},
                      UrlCase{"OtherLoopbackAddress", "http://127.255.255.254/", 0, true},
                      UrlCase{"ShortLoopbackSpelling", "http://127.1/", 0, true},
                      UrlCase{"Localhost", "http://localhost:1/", 0, true},
                      UrlCase{"LocalhostCapitals", "http://LocalHost/", 0, true},
                      UrlCase{"Ipv6Loopback", "http://[::1]:8080/", 0, true},
                      UrlCase{"Ipv4MappedLoopback", "http://[::ffff:127.0.0.1]/", 0, true},
                      UrlCase{"HttpsElsewhere", "https://192.0.2.1/", 0, false},
                      UrlCase{"HttpsNamedHost", "HTTPS://service.example/upload", 0, false},
                      UrlCase{"PlainHttpElsewhere", "http://192.0.2.1/",
                              urlError::insecureConnectionRefused, false},
                      UrlCase{"PlainHttpNextToLoopback", "http://128.0.0.1/",
                              urlError::insecureConnectionRefused, false},
                      UrlCase{"PlainHttpNamedHost", "http://service.example/",
                              urlError::insecureConnectionRefused, false},
                      UrlCase{"LocalhostAsSubdomain", "http://localhost.example.com/",
                              urlError::insecureConnectionRefused, false},
                      UrlCase{"LoopbackAsSubdomain", "http://127.0.0.1.example.com/",
                              urlError::insecureConnectionRefused, false},
                      UrlCase{"LoopbackAsUserName", "http://127.0.0.1@192.0.2.1/",
                              urlError::insecureConnectionRefused, false},
                      UrlCase{"LoopbackInFragment", "http://192.0.2.1#@127.0.0.1/",
                              urlError::insecureConnectionRefused, false},
                      UrlCase{"OtherIpv6", "http://[::2]/", urlError::insecureConnectionRefused,
                              false},
                      UrlCase{"Ftp", "ftp://127.0.0.1/", urlError::unsupportedURL, false},
                      UrlCase{"File", "file:///etc/passwd", urlError::unsupportedURL, false},
                      UrlCase{"NoScheme", "127.0.0.1/x", urlError::unsupportedURL, false},
                      UrlCase{"Empty", "", urlError::unsupportedURL, false},
                      UrlCase{"NoHost", "http://", urlError::badURL, false},
                      UrlCase{"Space", "https://exa mple.com/", urlError::badURL, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Requests and answers arrive intact.

struct RoundTripCase {
    const char* name;
    const char* method;
    std::size_t bodySize;
};

class RoundTrip : public CurlTest,
                  public ::testing::WithParamInterface<std::tuple<bool, RoundTripCase>> {};

TEST_P(RoundTrip, MethodHeadersAndBodiesArriveIntact) {
    const auto& [tls, c] = GetParam();
    auto server =
        tls ? std::make_unique<EchoServer>(testCertificates().trusted, testCertificates().key)
            : std::make_unique<EchoServer>();
    CurlHttpClient client(options());

    HttpRequest request = get(server->url("/echo"));
    request.method = c.method;
    request.body = binary(c.bodySize);
    request.headers = {{"X-Skrib-Probe", "probe: 42 ;"},
                       {"Content-Type", "application/octet-stream"}};
    auto outcome = start(*client.sharedSession(), request);
    const auto result = outcome->wait();

    ASSERT_TRUE(result.has_value()) << "no completion";
    ASSERT_FALSE(result->error) << describe(*result);
    ASSERT_TRUE(result->response);
    EXPECT_NE(outcome->thread(), std::this_thread::get_id())
        << "completions run on the network thread";
    EXPECT_GT(result->taskId, 0);

    const auto seen = server->lastRequest();
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->method, c.method);
    EXPECT_EQ(header(*seen, "X-Skrib-Probe"), "probe: 42 ;");
    EXPECT_EQ(seen->body, request.body) << "the body arrived altered";

    EXPECT_EQ(result->response->statusCode, EchoServer::echoStatus);
    EXPECT_EQ(header(result->response->headers, "X-Echo-Method"), c.method);
    EXPECT_EQ(header(result->response->headers, "X-Echo-Probe"), "probe: 42 ;");
    EXPECT_EQ(result->response->body, EchoServer::reversed(request.body));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RoundTrip,
    ::testing::Combine(::testing::Values(false, true),
                       ::testing::Values(RoundTripCase{"Get", "GET", 0},
                                         RoundTripCase{"PostBinary", "POST", 70'000},
                                         RoundTripCase{"PostEmpty", "POST", 0},
                                         RoundTripCase{"PutBinary", "PUT", 3'000},
                                         RoundTripCase{"PatchSmall", "PATCH", 5},
                                         RoundTripCase{"Delete", "DELETE", 0})),
    [](const auto& info) {
        return std::string(std::get<0>(info.param) ? "Https" : "Http") +
               std::get<1>(info.param).name;
    });

// ---------------------------------------------------------------------------------------------
// Timings and connection reuse.

struct Recorded {
    std::vector<std::string> events; // "metrics <id>" / "completion <id>", in order
    std::map<std::int64_t, NetworkTiming> timings;
    std::set<std::thread::id> threads;
};

class Recorder {
public:
    HttpSessionConfiguration configuration(int maxConnectionsPerHost = 4) {
        HttpSessionConfiguration configuration;
        configuration.maxConnectionsPerHost = maxConnectionsPerHost;
        configuration.onMetrics = [this](std::int64_t id, const NetworkTiming& timing) {
            std::lock_guard lock(lock_);
            recorded_.events.push_back("metrics " + std::to_string(id));
            recorded_.timings[id] = timing;
            recorded_.threads.insert(std::this_thread::get_id());
        };
        return configuration;
    }

    HttpResult fetch(HttpSession& session, HttpRequest request, std::int64_t& id) {
        auto outcome = std::make_shared<Outcome<HttpResult>>();
        id = session.dataTask(std::move(request), [this, outcome](HttpResult result) {
            {
                std::lock_guard lock(lock_);
                recorded_.events.push_back("completion " + std::to_string(result.taskId));
                recorded_.threads.insert(std::this_thread::get_id());
            }
            outcome->set(std::move(result));
        });
        auto result = outcome->wait();
        if (!result) {
            ADD_FAILURE() << "the request did not complete";
            return HttpResult{};
        }
        return *result;
    }

    Recorded recorded() const {
        std::lock_guard lock(lock_);
        return recorded_;
    }

private:
    mutable std::mutex lock_;
    Recorded recorded_;
};

class ConnectionReuse : public CurlTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ConnectionReuse, SecondRequestOfASessionReusesTheFirstConnection) {
    const bool tls = GetParam();
    auto server =
        tls ? std::make_unique<EchoServer>(testCertificates().trusted, testCertificates().key)
            : std::make_unique<EchoServer>();
    Recorder recorder;
    CurlHttpClient client(options());
    const auto session = client.makeSession(recorder.configuration());

    std::int64_t first = 0, second = 0;
    ASSERT_FALSE(recorder.fetch(*session, get(server->url("/echo")), first).error);
    ASSERT_FALSE(recorder.fetch(*session, get(server->url("/echo")), second).error);

    const Recorded recorded = recorder.recorded();
    EXPECT_EQ(recorded.events, (std::vector<std::string>{"metrics " + std::to_string(first),
                                                         "completion " + std::to_string(first),
                                                         "metrics " + std::to_string(second),
                                                         "completion " + std::to_string(second)}))
        << "each task's timing comes just before its completion";
    EXPECT_EQ(recorded.threads.size(), 1u) << "metrics and completions share the network thread";
    EXPECT_EQ(recorded.threads.count(std::this_thread::get_id()), 0u);

    ASSERT_EQ(recorded.timings.count(first), 1u);
    const NetworkTiming& fresh = recorded.timings.at(first);
    EXPECT_FALSE(fresh.reusedConnection);
    EXPECT_EQ(fresh.summary().rfind("net[NEW-conn]", 0), 0u) << fresh.summary();
    EXPECT_GT(fresh.connectMs, 0) << fresh.summary();
    if (tls) {
        EXPECT_GT(fresh.tlsMs, 0) << fresh.summary();
    } else {
        EXPECT_EQ(fresh.tlsMs, 0) << fresh.summary();
    }
    EXPECT_GE(fresh.totalMs, fresh.dnsMs + fresh.connectMs + fresh.tlsMs) << fresh.summary();

    ASSERT_EQ(recorded.timings.count(second), 1u);
    const NetworkTiming& reused = recorded.timings.at(second);
    EXPECT_TRUE(reused.reusedConnection);
    EXPECT_EQ(reused.summary().rfind("net[reused]", 0), 0u) << reused.summary();
    EXPECT_EQ(reused.dnsMs, 0);
    EXPECT_EQ(reused.connectMs, 0);
    EXPECT_EQ(reused.tlsMs, 0);
    EXPECT_GT(reused.totalMs, 0);
}

INSTANTIATE_TEST_SUITE_P(Schemes, ConnectionReuse, ::testing::Values(false, true),
                         [](const auto& info) {
                             return std::string(info.param ? "Https" : "Http");
                         });

TEST_F(CurlTest, AServersDelayCountsAsServerTimeNotUpload) {
    EchoServer server(testCertificates().trusted, testCertificates().key);
    Recorder recorder;
    CurlHttpClient client(options());
    const auto session = client.makeSession(recorder.configuration());

    HttpRequest request = get(server.url("/slow"));
    request.method = "POST";
    request.headers = {{"Content-Type", "application/octet-stream"}};
    request.body = binary(64 * 1024);
    std::int64_t id = 0;
    const HttpResult result = recorder.fetch(*session, request, id);
    ASSERT_TRUE(result.response) << describe(result);
    EXPECT_EQ(result.response->statusCode, EchoServer::echoStatus) << result.response->body;

    const NetworkTiming timing = recorder.recorded().timings.at(id);
    // The server holds the request 300 ms after reading all of it.
    EXPECT_GE(timing.serverMs, EchoServer::slowMilliseconds - 50) << timing.summary();
    EXPECT_LT(timing.uploadMs, EchoServer::slowMilliseconds - 50) << timing.summary();
    EXPECT_GE(timing.totalMs, timing.serverMs + timing.uploadMs) << timing.summary();
}

// ---------------------------------------------------------------------------------------------
// The connection limit of a session.

struct LimitCase {
    const char* name;
    bool limitedSession; // else the shared session
};

class ConnectionLimit : public CurlTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(ConnectionLimit, ParallelRequestsShareAtMostTheSessionsConnections) {
    LoopbackServer server([](LoopbackServer::Connection& connection) {
        while (connection.readRequest()) {
            std::this_thread::sleep_for(200ms); // hold the request, and with it the connection
            connection.send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        }
    });
    CurlHttpClient client(options());
    HttpSessionConfiguration configuration;
    configuration.maxConnectionsPerHost = 4;
    const auto session =
        GetParam().limitedSession ? client.makeSession(configuration) : client.sharedSession();

    std::vector<std::shared_ptr<Outcome<HttpResult>>> outcomes;
    for (int i = 0; i < 12; ++i) {
        outcomes.push_back(start(*session, get(server.url("/held"))));
    }
    for (auto& outcome : outcomes) {
        const auto result = outcome->wait();
        ASSERT_TRUE(result.has_value());
        ASSERT_TRUE(result->response) << describe(*result);
        EXPECT_EQ(result->response->body, "ok");
    }

    if (GetParam().limitedSession) {
        EXPECT_LE(server.mostOpenConnections(), 4);
        EXPECT_GT(server.mostOpenConnections(), 1) << "the requests ran one after another";
        EXPECT_LE(server.acceptedConnections(), 4) << "connections were not kept for reuse";
    } else {
        EXPECT_GT(server.mostOpenConnections(), 4) << "the shared session has no limit";
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, ConnectionLimit,
                         ::testing::Values(LimitCase{"FourPerHost", true},
                                           LimitCase{"SharedUnlimited", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CurlTest, ASlowButSteadyAnswerIsNotIdle) {
    // One byte every 250 ms for 2.5 s: longer than the 1 s limit in all, but never idle that long.
    LoopbackServer server([](LoopbackServer::Connection& connection) {
        if (!connection.readRequest()) {
            return;
        }
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(250ms);
            connection.send("z");
        }
    });
    CurlHttpClient client(options());
    const HttpResult result = fetch(*client.sharedSession(), get(server.url(), 1));
    ASSERT_TRUE(result.response) << describe(result);
    EXPECT_EQ(result.response->body, std::string(10, 'z'));
}

// ---------------------------------------------------------------------------------------------
// Transport failures and their codes.

enum class Target {
    stallingServer,
    closedPort,
    hangUpMidBody,
    hangUpWithoutAnswer,
    unknownHost,
    unreachableNetwork,
    plainHttpElsewhere,
    plainHttpToAName,
    ftp,
    malformed,
};

struct ErrorCase {
    const char* name;
    Target target;
    int expectedCode;
    bool needsIsolation; // would send something off this computer if the code were wrong
};

class TransportErrors : public CurlTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(TransportErrors, MapToTheUrlErrorCodes) {
    const ErrorCase& c = GetParam();
    if (c.needsIsolation && !onlyLoopback()) {
        GTEST_SKIP() << "needs a network namespace with loopback only (run it through ctest)";
    }
    std::unique_ptr<LoopbackServer> server;
    std::unique_ptr<ClosedPort> closed;
    std::string url;
    switch (c.target) {
    case Target::stallingServer:
        server = std::make_unique<LoopbackServer>(stallAfterRequest);
        url = server->url();
        break;
    case Target::closedPort:
        closed = std::make_unique<ClosedPort>();
        url = closed->url();
        break;
    case Target::hangUpMidBody:
        server = std::make_unique<LoopbackServer>(hangUpMidBody);
        url = server->url();
        break;
    case Target::hangUpWithoutAnswer:
        server = std::make_unique<LoopbackServer>(hangUpWithoutAnswer);
        url = server->url();
        break;
    case Target::unknownHost:
        url = "https://unknown-host.invalid/";
        break;
    case Target::unreachableNetwork:
        url = "https://192.0.2.1/";
        break;
    case Target::plainHttpElsewhere:
        url = "http://192.0.2.1/upload";
        break;
    case Target::plainHttpToAName:
        url = "http://skrib-probe.invalid/upload";
        break;
    case Target::ftp:
        url = "ftp://127.0.0.1/file";
        break;
    case Target::malformed:
        url = "http://";
        break;
    }
    CurlHttpClient client(options());
    HttpRequest request = get(url, 1);
    request.method = "POST";
    request.body = "words";
    const HttpResult result = fetch(*client.sharedSession(), request);

    ASSERT_TRUE(result.error) << describe(result);
    EXPECT_EQ(result.error->code, c.expectedCode) << result.error->description;
    EXPECT_FALSE(result.error->description.empty());
    EXPECT_FALSE(result.response) << "no answer comes with a transport failure";
    if (c.expectedCode == urlError::insecureConnectionRefused) {
        const std::string host =
            c.target == Target::plainHttpElsewhere ? "192.0.2.1" : "skrib-probe.invalid";
        EXPECT_NE(result.error->description.find(host), std::string::npos)
            << result.error->description;
        EXPECT_NE(result.error->description.find("https://"), std::string::npos)
            << result.error->description;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TransportErrors,
    ::testing::Values(
        ErrorCase{"ServerStalls", Target::stallingServer, urlError::timedOut, false},
        ErrorCase{"PortClosed", Target::closedPort, urlError::cannotConnectToHost, false},
        ErrorCase{"HangUpMidBody", Target::hangUpMidBody, urlError::networkConnectionLost, false},
        ErrorCase{"HangUpWithoutAnswer", Target::hangUpWithoutAnswer,
                  urlError::networkConnectionLost, false},
        ErrorCase{"UnknownHost", Target::unknownHost, urlError::cannotFindHost, true},
        ErrorCase{"NoRouteToTheNetwork", Target::unreachableNetwork,
                  urlError::notConnectedToInternet, true},
        // Refused before any connection: inside the namespace a connection attempt would give
        // -1009 and a name lookup -1003.
        ErrorCase{"PlainHttpToAnotherComputer", Target::plainHttpElsewhere,
                  urlError::insecureConnectionRefused, true},
        ErrorCase{"PlainHttpToAHostName", Target::plainHttpToAName,
                  urlError::insecureConnectionRefused, true},
        ErrorCase{"NotHttp", Target::ftp, urlError::unsupportedURL, false},
        ErrorCase{"Malformed", Target::malformed, urlError::badURL, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct CertificateCase {
    const char* name;
    std::string TestCertificates::*certificate; // none: the server speaks plain HTTP
    bool trustTestAuthority;
    int expectedCode;
};

class CertificateErrors : public CurlTest, public ::testing::WithParamInterface<CertificateCase> {};

TEST_P(CertificateErrors, FailTheSecureConnection) {
    const CertificateCase& c = GetParam();
    const TestCertificates& certificates = testCertificates();
    auto server = c.certificate != nullptr
                      ? std::make_unique<EchoServer>(certificates.*c.certificate, certificates.key)
                      : std::make_unique<EchoServer>();
    CurlHttpClient client(options(c.trustTestAuthority));
    std::string url = server->url("/echo");
    url.replace(0, url.find(':'), "https");

    const HttpResult result = fetch(*client.sharedSession(), get(url));

    ASSERT_TRUE(result.error) << describe(result);
    EXPECT_EQ(result.error->code, c.expectedCode) << result.error->description;
    EXPECT_FALSE(server->lastRequest()) << "the request went out over an unverified connection";
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, CertificateErrors,
    ::testing::Values(CertificateCase{"SelfSigned", &TestCertificates::selfSigned, true,
                                      urlError::serverCertificateUntrusted},
                      CertificateCase{"UnknownAuthority", &TestCertificates::unknownAuthority, true,
                                      urlError::serverCertificateHasUnknownRoot},
                      CertificateCase{"AuthorityNotAdded", &TestCertificates::trusted, false,
                                      urlError::serverCertificateHasUnknownRoot},
                      CertificateCase{"WrongHost", &TestCertificates::wrongHost, true,
                                      urlError::serverCertificateUntrusted},
                      CertificateCase{"Expired", &TestCertificates::expired, true,
                                      urlError::serverCertificateHasBadDate},
                      CertificateCase{"NotYetValid", &TestCertificates::notYetValid, true,
                                      urlError::serverCertificateNotYetValid},
                      CertificateCase{"ServerWithoutTls", nullptr, true,
                                      urlError::secureConnectionFailed}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Downloads to temporary files.

struct DownloadCase {
    const char* name;
    int status;
    std::size_t bodySize;
};

class Downloads : public CurlTest, public ::testing::WithParamInterface<DownloadCase> {};

std::optional<DownloadResult> download(HttpSession& session, HttpRequest request) {
    auto outcome = std::make_shared<Outcome<DownloadResult>>();
    session.downloadTask(std::move(request),
                         [outcome](DownloadResult result) { outcome->set(std::move(result)); });
    return outcome->wait();
}

TEST_P(Downloads, TheBodyLandsInAPrivateTemporaryFile) {
    const DownloadCase& c = GetParam();
    const std::string body = binary(c.bodySize);
    LoopbackServer server(LoopbackServer::answering(c.status, body));
    CurlHttpClient client(options());

    const auto result = download(*client.sharedSession(), get(server.url("/file")));

    ASSERT_TRUE(result.has_value());
    ASSERT_FALSE(result->error) << result->error->description;
    EXPECT_GT(result->taskId, 0);
    EXPECT_EQ(result->statusCode, c.status);
    EXPECT_EQ(fs::path(result->filePath).parent_path(), fs::path(downloads_));
    struct stat info {};
    ASSERT_EQ(::stat(result->filePath.c_str(), &info), 0) << result->filePath;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the file is for this user only";
    EXPECT_EQ(contents(result->filePath), body);
}

INSTANTIATE_TEST_SUITE_P(Answers, Downloads,
                         ::testing::Values(DownloadCase{"Ok", 200, 300'000},
                                           DownloadCase{"Empty", 200, 0},
                                           DownloadCase{"NotFoundKeepsItsBody", 404, 17}),
                         [](const auto& info) { return std::string(info.param.name); });

enum class DownloadFailure { hangUpMidBody, closedPort, missingFolder };

struct FailedDownloadCase {
    const char* name;
    DownloadFailure failure;
    int expectedCode;
};

class FailedDownloads : public CurlTest,
                        public ::testing::WithParamInterface<FailedDownloadCase> {};

TEST_P(FailedDownloads, LeaveNoFileBehind) {
    const FailedDownloadCase& c = GetParam();
    LoopbackServer server(hangUpMidBody);
    ClosedPort closed;
    CurlHttpClient::Options settings = options();
    std::string url = server.url("/file");
    if (c.failure == DownloadFailure::closedPort) {
        url = closed.url();
    } else if (c.failure == DownloadFailure::missingFolder) {
        settings.downloadFolder = downloads_ + "/missing";
    }
    CurlHttpClient client(settings);

    const auto result = download(*client.sharedSession(), get(url));

    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->code, c.expectedCode) << result->error->description;
    EXPECT_TRUE(result->filePath.empty());
    EXPECT_EQ(filesIn(downloads_), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedDownloads,
    ::testing::Values(FailedDownloadCase{"HangUpMidBody", DownloadFailure::hangUpMidBody,
                                         urlError::networkConnectionLost},
                      FailedDownloadCase{"PortClosed", DownloadFailure::closedPort,
                                         urlError::cannotConnectToHost},
                      FailedDownloadCase{"FolderMissing", DownloadFailure::missingFolder,
                                         urlError::cannotCreateFile}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Threads, re-entry and shutdown.

// Whether this thread is inside dataTask right now.
thread_local bool insideDataTask = false;

TEST_F(CurlTest, ACompletionCanStartTheNextRequest) {
    EchoServer server;
    CurlHttpClient client(options());
    const auto session = client.sharedSession();
    struct Chain {
        std::mutex lock;
        std::vector<std::string> bodies;
        std::vector<std::int64_t> ids;
        bool ranInsideDataTask = false;
    } chain;
    Outcome<bool> done;

    std::function<void(int)> step = [&](int n) {
        HttpRequest request = get(server.url("/echo"));
        request.method = "POST";
        request.body = "step " + std::to_string(n);
        insideDataTask = true;
        const std::int64_t id = session->dataTask(request, [&, n](HttpResult result) {
            {
                std::lock_guard lock(chain.lock);
                chain.ranInsideDataTask |= insideDataTask;
                chain.bodies.push_back(result.response ? result.response->body : describe(result));
            }
            if (n > 1) {
                step(n - 1);
            } else {
                done.set(true);
            }
        });
        insideDataTask = false;
        std::lock_guard lock(chain.lock);
        chain.ids.push_back(id);
    };
    step(5);

    ASSERT_TRUE(done.wait()) << "the chain stopped";
    std::lock_guard lock(chain.lock);
    EXPECT_EQ(chain.bodies,
              (std::vector<std::string>{"5 pets", "4 pets", "3 pets", "2 pets", "1 pets"}));
    EXPECT_FALSE(chain.ranInsideDataTask) << "a completion ran inside the dataTask that started it";
    ASSERT_EQ(chain.ids.size(), 5u);
    EXPECT_TRUE(std::is_sorted(chain.ids.begin(), chain.ids.end()));
    EXPECT_EQ(std::set<std::int64_t>(chain.ids.begin(), chain.ids.end()).size(), 5u);
}

TEST_F(CurlTest, ManyThreadsStartTasksAtOnce) {
    // A thread per connection: the sessions without a limit open dozens at once.
    LoopbackServer server(LoopbackServer::echoing());
    CurlHttpClient client(options());
    CurlHttpClient otherClient(options());
    const std::vector<std::shared_ptr<HttpSession>> sessions = {
        client.sharedSession(), client.makeSession({}), otherClient.sharedSession()};

    struct Task {
        std::int64_t id;
        std::string body;
        std::shared_ptr<Outcome<HttpResult>> outcome;
    };
    std::mutex lock;
    std::vector<Task> tasks;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 10; ++k) {
                HttpRequest request = get(server.url("/echo"));
                request.method = "POST";
                request.body = "thread " + std::to_string(t) + " task " + std::to_string(k);
                auto outcome = std::make_shared<Outcome<HttpResult>>();
                const std::int64_t id =
                    sessions[static_cast<std::size_t>(t + k) % sessions.size()]->dataTask(
                        request, [outcome](HttpResult result) { outcome->set(std::move(result)); });
                std::lock_guard guard(lock);
                tasks.push_back({id, request.body, outcome});
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    std::set<std::int64_t> ids;
    for (const Task& task : tasks) {
        const auto result = task.outcome->wait();
        ASSERT_TRUE(result.has_value()) << "task " << task.id << " did not complete";
        ASSERT_TRUE(result->response) << describe(*result);
        EXPECT_EQ(result->taskId, task.id);
        EXPECT_EQ(result->response->body, EchoServer::reversed(task.body)) << "answers mixed up";
        EXPECT_EQ(task.outcome->calls(), 1);
        EXPECT_GT(task.id, 0);
        ids.insert(task.id);
    }
    EXPECT_EQ(ids.size(), 80u) << "task identifiers repeat across threads, sessions or clients";
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = waitLimit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST_F(CurlTest, DestroyingTheClientCancelsWhatIsInFlight) {
    LoopbackServer server(stallAfterRequest);
    std::vector<std::shared_ptr<Outcome<HttpResult>>> outcomes;
    {
        CurlHttpClient client(options());
        HttpSessionConfiguration oneConnection;
        oneConnection.maxConnectionsPerHost = 1;
        const auto limited = client.makeSession(oneConnection);
        for (int i = 0; i < 3; ++i) {
            outcomes.push_back(start(*client.sharedSession(), get(server.url(), 30)));
            outcomes.push_back(start(*limited, get(server.url(), 30))); // two of these wait
        }
        ASSERT_TRUE(waitUntil([&] { return server.acceptedConnections() >= 4; }))
            << "the requests never reached the server";
        outcomes.push_back(
            start(*limited, get(server.url(), 30))); // handed over, maybe not started
    }
    for (const auto& outcome : outcomes) {
        // Already there: the destructor waits for the cancellations.
        const auto result = outcome->wait(0ms);
        ASSERT_TRUE(result.has_value()) << "a task was left without completion";
        EXPECT_EQ(outcome->calls(), 1);
        ASSERT_TRUE(result->error) << describe(*result);
        EXPECT_EQ(result->error->code, urlError::unknown);
        EXPECT_NE(result->error->description.find("Cancelled"), std::string::npos)
            << result->error->description;
    }
}

TEST_F(CurlTest, ASessionKeptPastItsClientDropsNewTasks) {
    std::shared_ptr<HttpSession> kept;
    {
        CurlHttpClient client(options());
        kept = client.makeSession({});
    }
    auto sentinel = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = sentinel;
    const std::int64_t id = kept->dataTask(get("http://127.0.0.1:9/"), [sentinel](HttpResult) {
        ADD_FAILURE() << "a task ran after its client was gone";
    });
    sentinel.reset();
    EXPECT_GT(id, 0);
    EXPECT_TRUE(watch.expired()) << "the completion was kept instead of dropped";
    kept.reset();
}

} // namespace
} // namespace skrib::testing
