#pragma once

#include "platform/NetworkTiming.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace skrib {

struct HttpHeader {
    std::string name;
    std::string value;
};

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<HttpHeader> headers;
    std::string body; // bytes; sent when not empty (or always for POST/PUT)
    /// The request fails with `urlError::timedOut` when it stays idle (no connection progress,
    /// no bytes moving either way) for this long.
    double timeoutSeconds = 60;
    /// At most this many bytes of answer body; 0: no limit. A larger answer, announced by its
    /// Content-Length or counted as it arrives, stops the transfer at once: it fails with
    /// `urlError::dataLengthExceedsMaximum` (a download's file is removed, as for any failure).
    std::uint64_t maxBytes = 0;
    /// Download tasks only: the folder the temporary file is created in, as a new file (never
    /// an existing one) that only this user can read and write. Empty: the client's default
    /// folder. A folder where no file can be created fails the task with
    /// `urlError::cannotCreateFile`.
    std::string downloadFolder = {};
};

struct HttpResponse {
    int statusCode = 0;
    std::vector<HttpHeader> headers;
    std::string body;
};

/// The platform URL-loading error codes the program's messages are keyed on.
namespace urlError {
inline constexpr int unknown = -1;
inline constexpr int badURL = -1000;
inline constexpr int timedOut = -1001;
inline constexpr int unsupportedURL = -1002;
inline constexpr int cannotFindHost = -1003;
inline constexpr int cannotConnectToHost = -1004;
inline constexpr int networkConnectionLost = -1005;
inline constexpr int notConnectedToInternet = -1009;
inline constexpr int insecureConnectionRefused = -1022; // plain HTTP to another computer
inline constexpr int dataLengthExceedsMaximum = -1103;  // see HttpRequest::maxBytes
inline constexpr int secureConnectionFailed = -1200;
inline constexpr int serverCertificateHasBadDate = -1201;
inline constexpr int serverCertificateUntrusted = -1202;
inline constexpr int serverCertificateHasUnknownRoot = -1203;
inline constexpr int serverCertificateNotYetValid = -1204;
inline constexpr int clientCertificateRejected = -1205;
inline constexpr int clientCertificateRequired = -1206;
inline constexpr int cannotCreateFile = -3000;
inline constexpr int cannotWriteToFile = -3003;
} // namespace urlError

/// A transport failure: no (complete) HTTP answer arrived.
struct HttpError {
    int code = urlError::unknown;
    std::string description; // readable, for the log
};

struct HttpResult {
    std::int64_t taskId = 0;
    std::optional<HttpResponse> response; // present when an HTTP answer arrived
    std::optional<HttpError> error;       // present when the transport failed
};

struct DownloadResult {
    std::int64_t taskId = 0;
    int statusCode = 0;
    std::string filePath; // a temporary file holding the body; the completion owns it
    std::optional<HttpError> error;
    /// For a redirection (3xx) with a Location: the absolute URL it points to, resolved against
    /// the request's. Empty otherwise. Redirects are not followed: a caller that wants the next
    /// hop checks this URL as it would any other and asks for it itself.
    std::string redirectURL = {};
};

/// A set of requests sharing a connection pool and settings.
class HttpSession {
public:
    using Completion = std::function<void(HttpResult)>;
    using DownloadCompletion = std::function<void(DownloadResult)>;

    virtual ~HttpSession() = default;

    /// Starts the request and answers its task identifier (> 0, unique in the process). The
    /// completion runs exactly once, on the network thread, after the session's metrics
    /// callback for the task (if any).
    virtual std::int64_t dataTask(HttpRequest request, Completion completion) = 0;

    /// Like `dataTask`, but the body goes to a temporary file. The file is removed when the
    /// transfer fails; otherwise the completion moves or removes it.
    virtual std::int64_t downloadTask(HttpRequest request, DownloadCompletion completion) = 0;
};

struct HttpSessionConfiguration {
    /// At most this many simultaneous connections to one host (0: no limit).
    int maxConnectionsPerHost = 0;
    /// Called on the network thread with each finished task's timing, before its completion.
    std::function<void(std::int64_t taskId, const NetworkTiming& timing)> onMetrics;
};

/// The program's HTTP stack. Plain HTTP is allowed only to this computer (loopback); TLS
/// certificates are verified.
class HttpClient {
public:
    virtual ~HttpClient() = default;

    /// The shared default session: default settings, no metrics.
    virtual std::shared_ptr<HttpSession> sharedSession() = 0;

    /// A new session with its own pool, kept alive between requests.
    virtual std::shared_ptr<HttpSession> makeSession(HttpSessionConfiguration configuration) = 0;
};

} // namespace skrib
