#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace skrib::updateImage {

/// The most an update image may weigh as downloaded, and the most it may unpack to.
inline constexpr std::uint64_t maxImageBytes = 512ull << 20;
inline constexpr std::uint64_t maxUnpackedBytes = 2ull << 30;

/// Checks the Ed25519 signature of a file's bytes. `signature` (64 bytes) and `publicKey`
/// (32 bytes, the raw key) are given in base64. Nothing when the file is the one that was signed
/// with the key's private half; otherwise why not, as a sentence for the log.
std::optional<std::string> verifySignature(const std::string& file, const std::string& signature,
                                           const std::string& publicKey);

/// The application folder an image unpacked to.
struct Bundle {
    std::string name; // e.g. "VantuSkrib.app"
    std::string path; // folder + "/" + name
};

/// Unpacks a gzip-compressed tar archive into `folder` (an empty folder of the caller's). The
/// archive must hold one real directory named `bundleName` at its top level and nothing beside
/// it; entries are plain files, directories and symbolic links whose targets are relative, climb
/// with ".." only at their start and stay inside that folder; no absolute paths, no "..", no hard
/// links, device files, FIFOs or sockets, at most `maxBytes` unpacked (as the headers declare,
/// counted before any data is written). Entries keep their permissions less set-id and sticky bits
/// and write access for others than the owner, who is the caller. Answers the bundle, or why the
/// archive was refused (the caller removes `folder` either way when done).
std::variant<Bundle, std::string> extractBundle(const std::string& archive,
                                                const std::string& folder,
                                                const std::string& bundleName,
                                                std::uint64_t maxBytes = maxUnpackedBytes);

} // namespace skrib::updateImage
