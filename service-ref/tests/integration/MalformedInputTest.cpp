// Hostile and damaged requests: the service answers 4xx (or drops a request that never ended)
// and keeps serving.
#include "HttpHelpers.h"
#include "InProcessService.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace skrib::service::test {
namespace {

// Sends `request` on a fresh loopback connection and returns the one response the server wrote
// (status line, headers and a body of the stated length), or what arrived before the server
// closed or stayed silent for `patience`.
std::string exchange(int port, const std::string& request,
                     std::chrono::milliseconds patience = std::chrono::milliseconds(1500)) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        ADD_FAILURE() << "socket failed";
        return {};
    }
    timeval timeout{static_cast<time_t>(patience.count() / 1000),
                    static_cast<suseconds_t>(patience.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "connect failed";
        close(fd);
        return {};
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break; // the server may answer and close before reading everything
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string response;
    char buffer[4096];
    while (true) {
        const auto headerEnd = response.find("\r\n\r\n");
        if (headerEnd != std::string::npos) {
            std::size_t length = 0;
            const auto at = response.find("Content-Length: ");
            if (at != std::string::npos && at < headerEnd) {
                length = std::stoul(response.substr(at + 16));
            }
            if (response.size() >= headerEnd + 4 + length) {
                break;
            }
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        response.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return response;
}

int statusOf(const std::string& response) {
    if (response.size() < 12 || !response.starts_with("HTTP/1.1 ")) {
        return 0;
    }
    return std::atoi(response.substr(9, 3).c_str());
}

enum class Answer {
    clientError,      // a 4xx status line
    clientErrorOrNone // a 4xx status line, or the connection closed without an answer
};

struct RawCase {
    const char* name;
    std::string request;
    Answer answer;
};

class RawRequestTest : public testing::TestWithParam<RawCase> {
protected:
    InProcessService service_{sharedPool()};
};

TEST_P(RawRequestTest, IsRefusedAndTheServiceKeepsServing) {
    const std::string response = exchange(service_.port(), GetParam().request);
    const int status = statusOf(response);
    if (GetParam().answer == Answer::clientError || !response.empty()) {
        EXPECT_GE(status, 400) << response.substr(0, 200);
        EXPECT_LT(status, 500) << response.substr(0, 200);
    }
    const auto health = service_.client()->Get("/health");
    ASSERT_TRUE(health) << "the service stopped answering";
    EXPECT_EQ(health->status, 200);
}

std::string garbage(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes) {
        b = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

const std::string device = "x-device-id: FUZZ-DEVICE\r\n";

INSTANTIATE_TEST_SUITE_P(
    Requests, RawRequestTest,
    testing::Values(
        RawCase{"BinaryGarbage", garbage(4096, 1), Answer::clientErrorOrNone},
        RawCase{"GarbageAfterAValidLine", "GET /health HTTP/1.1\r\n" + garbage(2048, 2),
                Answer::clientErrorOrNone},
        RawCase{"NoHttpVersion", "GET /health\r\n\r\n", Answer::clientError},
        RawCase{"UnknownMethod", "BREW /health HTTP/1.1\r\nHost: x\r\n\r\n", Answer::clientError},
        // A header line without a colon is dropped, so the device is unknown.
        RawCase{"DeviceHeaderWithoutColon",
                "GET /profile HTTP/1.1\r\nx-device-id FUZZ-DEVICE\r\n\r\n", Answer::clientError},
        RawCase{"HugeHeader",
                "GET /health HTTP/1.1\r\nX-Big: " + std::string(200000, 'a') + "\r\n\r\n",
                Answer::clientErrorOrNone},
        RawCase{"HugePath", "GET /" + std::string(100000, 'p') + " HTTP/1.1\r\n\r\n",
                Answer::clientErrorOrNone},
        RawCase{"BodyShorterThanDeclared",
                "POST /logs HTTP/1.1\r\n" + device + "Content-Length: 1000\r\n\r\n{\"entries\":",
                Answer::clientErrorOrNone},
        RawCase{"NegativeContentLength",
                "POST /logs HTTP/1.1\r\n" + device + "Content-Length: -5\r\n\r\n{}",
                Answer::clientErrorOrNone},
        RawCase{"EnormousContentLength",
                "POST /logs HTTP/1.1\r\n" + device +
                    "Content-Length: 99999999999999999999999\r\n\r\n{}",
                Answer::clientErrorOrNone},
        RawCase{"ContentLengthOverTheCap",
                "POST /process HTTP/1.1\r\n" + device +
                    "Content-Type: multipart/form-data; boundary=b\r\n"
                    "Content-Length: 1099511627776\r\n\r\n--b\r\n",
                Answer::clientError},
        RawCase{"BadChunkSize",
                "POST /logs HTTP/1.1\r\n" + device +
                    "Transfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n",
                Answer::clientErrorOrNone},
        RawCase{"MultipartHeaderLineTooLong",
                "POST /process HTTP/1.1\r\n" + device +
                    "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: 40035\r\n\r\n"
                    "--b\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"" +
                    std::string(39960, 'f') + "\"\r\n\r\nx\r\n--b--\r\n",
                Answer::clientError},
        RawCase{"NulInPath", std::string("GET /hea\0lth HTTP/1.1\r\n\r\n", 25),
                Answer::clientError}),
    [](const auto& info) { return info.param.name; });

// Damaged copies of an upload the program would send.
struct FuzzCase {
    const char* name;
    bool m4a;
};

class DamagedUploadTest : public testing::TestWithParam<FuzzCase> {
protected:
    InProcessService service_{sharedPool()};
};

TEST_P(DamagedUploadTest, NeverFailsOnTheServersSide) {
    const std::string wav = makeWav(makeTone(300, 0.5, 16000, 1, 0.3));
    const std::string audio = GetParam().m4a ? wavToM4a(wav) : wav;
    const Upload original = buildUpload(audio, GetParam().m4a, "alpha, beta");
    auto http = service_.client();
    std::mt19937 generator(20250101);

    std::vector<std::string> bodies;
    for (int i = 1; i <= 20; ++i) { // cut short at spread positions
        bodies.push_back(original.body.substr(0, original.body.size() * i / 21));
    }
    for (int i = 0; i < 40; ++i) { // one byte changed, half of them in the first 400 bytes
        std::string body = original.body;
        const std::size_t limit =
            i % 2 == 0 ? std::min<std::size_t>(400, body.size()) : body.size();
        body[generator() % limit] = static_cast<char>(generator() & 0xFF);
        bodies.push_back(body);
    }
    for (int i = 0; i < 10; ++i) { // sixteen bytes overwritten
        std::string body = original.body;
        const std::size_t at = generator() % (body.size() - 16);
        for (std::size_t k = 0; k < 16; ++k) {
            body[at + k] = static_cast<char>(generator() & 0xFF);
        }
        bodies.push_back(body);
    }

    for (std::size_t i = 0; i < bodies.size(); ++i) {
        const auto result = http->Post("/process", {{"x-device-id", "FUZZ"}}, bodies[i],
                                       original.contentType().c_str());
        ASSERT_TRUE(result) << "damaged body " << i << ": " << httplib::to_string(result.error());
        EXPECT_TRUE(result->status == 200 || (result->status >= 400 && result->status < 500))
            << "damaged body " << i << " got " << result->status << ": " << result->body;
        EXPECT_TRUE(Json::parse(result->body, nullptr, false).is_object()) << result->body;
    }
    const auto health = http->Get("/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
}

INSTANTIATE_TEST_SUITE_P(Payloads, DamagedUploadTest,
                         testing::Values(FuzzCase{"Wav", false}, FuzzCase{"M4a", true}),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service::test
