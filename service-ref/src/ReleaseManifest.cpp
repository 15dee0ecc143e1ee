#include "ReleaseManifest.h"

#include "platform/Url.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace skrib::service {

std::optional<std::vector<std::uint32_t>> parseVersion(std::string_view text) {
    std::vector<std::uint32_t> parts;
    std::size_t start = 0;
    while (true) {
        const auto dot = text.find('.', start);
        const std::string_view piece = text.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (piece.empty() || piece.size() > 9 ||
            piece.find_first_not_of("0123456789") != std::string_view::npos) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (char c : piece) {
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
        }
        parts.push_back(value);
        if (parts.size() > 4) {
            return std::nullopt;
        }
        if (dot == std::string_view::npos) {
            return parts;
        }
        start = dot + 1;
    }
}

int compareVersions(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    const std::size_t count = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t x = i < a.size() ? a[i] : 0;
        const std::uint32_t y = i < b.size() ? b[i] : 0;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

std::optional<ReleaseManifest> parseReleaseManifest(std::string_view json, std::string& error) {
    const auto doc = nlohmann::json::parse(json, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = "the release manifest is not a JSON object";
        return std::nullopt;
    }
    const auto latest = doc.find("latest");
    if (latest == doc.end() || !latest->is_string() ||
        !parseVersion(latest->get_ref<const std::string&>())) {
        error = "the release manifest's \"latest\" is not a version such as 1.4.0";
        return std::nullopt;
    }
    const auto url = doc.find("download_url");
    if (url == doc.end() || !url->is_string()) {
        error = "the release manifest's \"download_url\" is not a string";
        return std::nullopt;
    }
    const auto& text = url->get_ref<const std::string&>();
    if (!isValidHttpURL(text)) {
        error = "the release manifest's \"download_url\" is not an http or https URL";
        return std::nullopt;
    }
    ReleaseManifest manifest{latest->get<std::string>(), text, {}, {}};
    if (const auto signature = doc.find("signature"); signature != doc.end()) {
        // 64 bytes are 86 base64 characters and two of padding.
        constexpr std::string_view alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const auto* value = signature->get_ptr<const std::string*>();
        if (value == nullptr || value->size() != 88 || value->find_first_not_of(alphabet) != 86 ||
            !value->ends_with("==")) {
            error = "the release manifest's \"signature\" is not an Ed25519 signature in base64";
            return std::nullopt;
        }
        manifest.signature = *value;
    }
    if (const auto size = doc.find("size"); size != doc.end()) {
        if (!size->is_number_unsigned() || size->get<std::uint64_t>() == 0) {
            error = "the release manifest's \"size\" is not a positive whole number of bytes";
            return std::nullopt;
        }
        manifest.size = size->get<std::uint64_t>();
    }
    return manifest;
}

std::optional<ReleaseManifest> loadReleaseManifest(const std::filesystem::path& path,
                                                   std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the release manifest " + path.string();
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    auto manifest = parseReleaseManifest(content.str(), error);
    if (!manifest) {
        error += " (" + path.string() + ")";
    }
    return manifest;
}

UpdateAnswer checkForUpdate(const std::optional<ReleaseManifest>& manifest,
                            std::string_view clientVersion) {
    UpdateAnswer answer;
    if (!manifest) {
        answer.latest = std::string(clientVersion);
        return answer;
    }
    answer.latest = manifest->latest;
    const auto client = parseVersion(clientVersion);
    const auto latest = parseVersion(manifest->latest);
    if (client && latest && compareVersions(*client, *latest) < 0) {
        answer.updateAvailable = true;
        answer.downloadUrl = manifest->downloadUrl;
        answer.signature = manifest->signature;
        answer.size = manifest->size;
    }
    return answer;
}

} // namespace skrib::service
