#include "service/curl/CurlUrl.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>

namespace skrib {
namespace {

std::string lowercase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// Reads one component of a parsed URL; empty when the URL has none.
std::string part(CURLU* url, CURLUPart which) {
    char* value = nullptr;
    if (curl_url_get(url, which, &value, 0) != CURLUE_OK || value == nullptr) {
        return {};
    }
    std::string text(value);
    curl_free(value);
    return text;
}

HttpError unsupported() {
    return {urlError::unsupportedURL,
            "Unsupported URL: only http:// and https:// URLs are allowed"};
}

} // namespace

std::variant<CurlUrl, HttpError> CurlUrl::parse(const std::string& url) {
    CurlUrl parsed;
    parsed.handle_.reset(curl_url());
    if (!parsed.handle_) {
        return HttpError{urlError::unknown, "Out of memory"};
    }
    // Any scheme is parsed so that a URL of another kind is told apart from a malformed one.
    const CURLUcode status =
        curl_url_set(parsed.handle_.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME);
    if (status != CURLUE_OK) {
        const std::string lower = lowercase(std::string_view(url).substr(0, 8));
        if (lower.rfind("http://", 0) != 0 && lower.rfind("https://", 0) != 0) {
            return unsupported();
        }
        return HttpError{urlError::badURL,
                         std::string("Malformed URL: ") + curl_url_strerror(status)};
    }
    const std::string scheme = lowercase(part(parsed.handle_.get(), CURLUPART_SCHEME));
    if (scheme != "http" && scheme != "https") {
        return unsupported();
    }
    parsed.https_ = scheme == "https";
    parsed.host_ = part(parsed.handle_.get(), CURLUPART_HOST);
    if (parsed.host_.empty()) {
        return HttpError{urlError::badURL, "Malformed URL: no host"};
    }
    parsed.loopback_ = isLoopbackHost(parsed.host_);
    // Plain HTTP would carry the dictated words and the device identity readable by anyone on
    // the way, so it may only go to a server on this computer.
    if (!parsed.https_ && !parsed.loopback_) {
        return HttpError{urlError::insecureConnectionRefused,
                         "Refusing plain HTTP to " + parsed.host_ +
                             ": only https:// may leave this computer"};
    }
    return parsed;
}

bool CurlUrl::isLoopbackHost(std::string_view host) {
    if (lowercase(host) == "localhost") {
        return true; // libcurl answers "localhost" itself, with loopback addresses only
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        std::string inner(host.substr(1, host.size() - 2));
        inner = inner.substr(0, inner.find('%')); // a zone identifier does not change the address
        in6_addr address{};
        if (inet_pton(AF_INET6, inner.c_str(), &address) != 1) {
            return false;
        }
        if (IN6_IS_ADDR_LOOPBACK(&address)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
    }
    // libcurl has already normalised other IPv4 spellings ("127.1", "0x7f.0.0.1") to dotted
    // quads; a host name other than "localhost" is never trusted, whatever it resolves to.
    in_addr address{};
    if (inet_pton(AF_INET, std::string(host).c_str(), &address) != 1) {
        return false;
    }
    return (ntohl(address.s_addr) >> 24) == 127;
}

} // namespace skrib
