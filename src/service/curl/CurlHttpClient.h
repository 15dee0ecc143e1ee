#pragma once

#include "platform/HttpClient.h"

#include <memory>
#include <string>

namespace skrib {

class CurlEngine;

/// The HTTP stack on libcurl: one network thread drives every session's transfers. Each session
/// has its own connection pool (its own libcurl multi handle), kept alive between requests.
///
/// - Plain HTTP goes only to loopback hosts ("localhost", 127.0.0.0/8, ::1); any other host
///   fails with `urlError::insecureConnectionRefused` before anything is looked up or sent.
/// - TLS certificates and host names are always verified.
/// - Redirects are not followed: a 3xx answer is handed to the completion as it is. A download's
///   result carries the absolute URL of its Location (`DownloadResult::redirectURL`), so that the
///   caller can ask for the next hop under the same checks as the first.
/// - Proxies from the environment are used for https to other computers, never for loopback.
/// - `timeoutSeconds` is an idle limit: the connection must be set up within it, and the
///   transfer fails once no byte has moved either way for that long. Zero or less: no limit.
///
/// `shutDown` (or destroying the client) stops the network thread and waits for it: tasks still
/// running or queued are abandoned, and so are tasks started later (through a session kept past
/// the client): their completions are destroyed without being called, their files removed.
class CurlHttpClient final : public HttpClient {
public:
    struct Options {
        /// A PEM file of extra certificates to trust besides the system's (tests use it for
        /// their own certificate authority). Empty: the system's only.
        std::string extraCaFile;
        /// Where download tasks put their temporary files when the request names no folder of
        /// its own (`HttpRequest::downloadFolder`). Empty: the system's temporary folder
        /// ($TMPDIR, else /tmp).
        std::string downloadFolder;
    };

    /// Starts the network thread. Throws std::runtime_error when the extra certificate file
    /// cannot be read or the thread cannot start.
    CurlHttpClient();
    explicit CurlHttpClient(Options options);
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    /// Stops the network thread as above; the program calls it at quit before the objects that
    /// completions write to are destroyed. Safe to call more than once.
    void shutDown();

    std::shared_ptr<HttpSession> sharedSession() override;
    std::shared_ptr<HttpSession> makeSession(HttpSessionConfiguration configuration) override;

private:
    std::shared_ptr<CurlEngine> engine_;
    std::shared_ptr<HttpSession> shared_;
};

} // namespace skrib
