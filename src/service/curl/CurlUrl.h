#pragma once

#include "platform/HttpClient.h"

#include <curl/curl.h>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace skrib {

/// A request URL as libcurl itself parses it, checked against the program's rules: http and
/// https only, and plain HTTP only to this computer. The transfer is given this very parse
/// (CURLOPT_CURLU), so the host that was checked is the host that is contacted.
class CurlUrl {
public:
    /// The parsed URL, or the error the request fails with: `urlError::unsupportedURL`,
    /// `urlError::badURL` or `urlError::insecureConnectionRefused`.
    static std::variant<CurlUrl, HttpError> parse(const std::string& url);

    /// Whether `host` (spelled as in a URL: IPv6 addresses in brackets) is this computer:
    /// "localhost", 127.0.0.0/8 or ::1 (also IPv4-mapped).
    static bool isLoopbackHost(std::string_view host);

    CURLU* handle() const { return handle_.get(); }
    const std::string& host() const { return host_; }
    bool isHttps() const { return https_; }
    bool isLoopback() const { return loopback_; }

private:
    struct Free {
        void operator()(CURLU* url) const { curl_url_cleanup(url); }
    };

    std::unique_ptr<CURLU, Free> handle_;
    std::string host_;
    bool https_ = false;
    bool loopback_ = false;
};

} // namespace skrib
