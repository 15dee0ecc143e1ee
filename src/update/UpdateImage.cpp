#include "update/UpdateImage.h"

namespace skrib::updateImage {

std::optional<std::string> verifySignature(const std::string&, const std::string&,
                                           const std::string&) {
    return "not implemented yet";
}

std::variant<Bundle, std::string> extractBundle(const std::string&, const std::string&,
                                                const std::string&, std::uint64_t) {
    return std::string("not implemented yet");
}

} // namespace skrib::updateImage
