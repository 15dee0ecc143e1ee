#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skrib::service {

/// The newest release: a JSON object {"latest": "1.4.0", "download_url": "https://..."}, and
/// optionally the image's "signature" (its Ed25519 signature in base64) and "size" (in bytes).
/// Other members are ignored.
struct ReleaseManifest {
    std::string latest;
    std::string downloadUrl;
    std::string signature; // empty: not given
    std::optional<std::uint64_t> size;
};

/// A dotted version of one to four decimal components ("1", "1.4", "1.4.0"); each component has
/// at most nine digits. Nothing for any other text.
std::optional<std::vector<std::uint32_t>> parseVersion(std::string_view text);

/// Negative, zero or positive as `a` is older than, equal to or newer than `b`; missing trailing
/// components count as 0 (1.4 == 1.4.0).
int compareVersions(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b);

/// The manifest in `json`, or nothing with `error` set: the text must be a JSON object whose
/// "latest" is a version and whose "download_url" is an http or https URL; a "signature" is 64
/// bytes in base64, a "size" a positive whole number.
std::optional<ReleaseManifest> parseReleaseManifest(std::string_view json, std::string& error);

/// The manifest in the file at `path`, or nothing with `error` set.
std::optional<ReleaseManifest> loadReleaseManifest(const std::filesystem::path& path,
                                                   std::string& error);

/// The answer to an update check.
struct UpdateAnswer {
    bool updateAvailable = false;
    std::string latest;
    std::string downloadUrl;
    std::string signature;
    std::optional<std::uint64_t> size;
};

/// Whether a client running `clientVersion` should update: only when there is a manifest and the
/// client's version is valid and older than the manifest's. Without an update, "latest" is the
/// manifest's version (the client's own without a manifest) and the download URL, signature and
/// size are empty.
UpdateAnswer checkForUpdate(const std::optional<ReleaseManifest>& manifest,
                            std::string_view clientVersion);

} // namespace skrib::service
