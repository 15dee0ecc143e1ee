#include "platform/Url.h"

namespace skrib {

bool isValidHttpURL(const std::string& url) {
    std::size_t hostStart = 0;
    if (url.rfind("https://", 0) == 0) {
        hostStart = 8;
    } else if (url.rfind("http://", 0) == 0) {
        hostStart = 7;
    } else {
        return false;
    }
    const std::size_t hostEnd = url.find_first_of("/?#", hostStart);
    const std::string host = url.substr(
        hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    if (host.empty() || host.front() == ':') {
        return false;
    }
    for (const unsigned char c : url) {
        if (c <= 0x20 || c == 0x7F) {
            return false; // spaces and control characters make no URL
        }
    }
    return true;
}

} // namespace skrib
