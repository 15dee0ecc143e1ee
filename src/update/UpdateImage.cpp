#include "update/UpdateImage.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <string_view>
#include <vector>

namespace skrib::updateImage {
namespace {

namespace fs = std::filesystem;

// The bytes that the base64 `text` stands for; nothing when it is not strict base64.
std::optional<std::string> fromBase64(std::string_view text) {
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    std::string bytes;
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const auto value = alphabet.find(text[i]);
        if (value == std::string_view::npos) {
            return std::nullopt;
        }
        bits = bits << 6 | static_cast<std::uint32_t>(value);
        if (i % 4 == 3) {
            bytes += {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8),
                      static_cast<char>(bits)};
        }
    }
    if (padding == 2 && (bits & 0xF) == 0) {
        bytes += static_cast<char>(bits >> 4);
    } else if (padding == 1 && (bits & 0x3) == 0) {
        bytes += {static_cast<char>(bits >> 10), static_cast<char>(bits >> 2)};
    } else if (padding != 0) {
        return std::nullopt; // bits left over that no byte holds
    }
    return bytes;
}

// Decodes `text` into `bytes`, which must come out `size` long; otherwise why not, naming the
// text `what`.
std::optional<std::string> decode(const std::string& text, std::size_t size, const char* what,
                                  std::string& bytes) {
    const auto decoded = fromBase64(text);
    if (!decoded) {
        return std::string(what) + " is not base64";
    }
    if (decoded->size() != size) {
        return std::string(what) + " is " + std::to_string(decoded->size()) + " bytes long, not " +
               std::to_string(size);
    }
    bytes = *decoded;
    return std::nullopt;
}

const unsigned char* bytesOf(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The names of a path's components, without empty ones and ".".
std::vector<std::string> namesOf(std::string_view path) {
    std::vector<std::string> names;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const std::string_view name = path.substr(0, slash);
        if (!name.empty() && name != ".") {
            names.emplace_back(name);
        }
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return names;
}

// Whether a symbolic link at the path `names` (the bundle's name first) pointing to `target`
// stays inside the bundle: a relative target that climbs with ".." only at its start, from the
// link's own folder (a real folder, the writer follows no links) and no higher than the bundle.
// A ".." after a name is refused as that name may itself be a link, out of which ".." climbs
// elsewhere than it seems to.
bool staysInside(const std::vector<std::string>& names, std::string_view target) {
    if (target.empty() || target.starts_with('/')) {
        return false;
    }
    std::size_t climbs = 0;
    bool named = false;
    for (const std::string& name : namesOf(target)) {
        if (name != "..") {
            named = true;
        } else if (named) {
            return false;
        } else {
            ++climbs;
        }
    }
    return climbs + 2 <= names.size();
}

// Why the archive's entry may not be unpacked, or nothing; `names` gets its path's names.
std::optional<std::string> refusal(archive_entry* entry, const std::string& bundleName,
                                   std::vector<std::string>& names) {
    const char* pathname = archive_entry_pathname(entry);
    const std::string path = pathname != nullptr ? pathname : "";
    const std::string quoted = "the entry \"" + path + "\"";
    names = namesOf(path);
    if (path.starts_with('/')) {
        return quoted + " has an absolute path";
    }
    if (std::ranges::find(names, "..") != names.end()) {
        return quoted + " climbs out with \"..\"";
    }
    if (names.empty() || names[0] != bundleName) {
        return "the image holds \"" + (names.empty() ? path : names[0]) + "\" where only " +
               bundleName + " belongs";
    }
    const auto type = archive_entry_filetype(entry);
    if (names.size() == 1 && type != AE_IFDIR) {
        return bundleName + " in the image is not a folder";
    }
    if (archive_entry_hardlink(entry) != nullptr) {
        return quoted + " is a hard link";
    }
    switch (type) {
    case AE_IFDIR:
    case AE_IFREG:
        return std::nullopt;
    case AE_IFLNK: {
        const char* target = archive_entry_symlink(entry);
        if (target == nullptr || !staysInside(names, target)) {
            return quoted + " links outside " + bundleName + " (to \"" +
                   (target != nullptr ? target : "") + "\")";
        }
        return std::nullopt;
    }
    case AE_IFCHR:
    case AE_IFBLK:
        return quoted + " is a device file";
    case AE_IFIFO:
        return quoted + " is a FIFO";
    case AE_IFSOCK:
        return quoted + " is a socket";
    default:
        return quoted + " is neither a file, a folder nor a symbolic link";
    }
}

std::string failure(const char* what, archive* a) {
    const char* reason = archive_error_string(a);
    return std::string(what) + (reason != nullptr ? reason : "unknown error");
}

} // namespace

std::optional<std::string> verifySignature(const std::string& file, const std::string& signature,
                                           const std::string& publicKey) {
    if (signature.empty()) {
        return "the image is not signed";
    }
    std::string signatureBytes;
    std::string keyBytes;
    if (auto why = decode(signature, 64, "the image's signature", signatureBytes)) {
        return why;
    }
    if (auto why = decode(publicKey, 32, "the update key", keyBytes)) {
        return why;
    }
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (error) {
        return "cannot read the image " + file + ": " + error.message();
    }
    if (size > maxImageBytes) {
        return "the image is larger than " + std::to_string(maxImageBytes) + " bytes";
    }
    std::string image(size, '\0');
    std::ifstream in(file, std::ios::binary);
    if (!in.read(image.data(), static_cast<std::streamsize>(size)) || in.peek() != EOF) {
        return "cannot read the image " + file;
    }
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytesOf(keyBytes), keyBytes.size()),
        EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    const bool valid =
        key && context &&
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(context.get(), bytesOf(signatureBytes), signatureBytes.size(),
                         bytesOf(image), image.size()) == 1;
    ERR_clear_error(); // leaves no errors behind for the thread's next TLS call to trip on
    if (!valid) {
        return "the image's signature does not match it (altered, or signed with another key)";
    }
    return std::nullopt;
}

std::variant<Bundle, std::string> extractBundle(const std::string& archive,
                                                const std::string& folder,
                                                const std::string& bundleName,
                                                std::uint64_t maxBytes) {
    // The disk writer resolves relative names against the process's working folder, which a
    // program with threads cannot move; so each entry, once checked to be relative, is written
    // under the folder's real path (free of symbolic links, which the writer's guard would trip
    // on). The writer itself refuses ".." and writing through a symbolic link as well, and sets
    // permissions but not the owner.
    std::error_code error;
    const fs::path root = fs::canonical(folder, error);
    if (error) {
        return "cannot unpack into " + folder + ": " + error.message();
    }
    const std::unique_ptr<struct archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                               archive_read_free);
    const std::unique_ptr<struct archive, decltype(&archive_write_free)> writer(
        archive_write_disk_new(), archive_write_free);
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM |
                                                     ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    if (archive_read_open_filename(reader.get(), archive.c_str(), 1 << 16) != ARCHIVE_OK) {
        return failure("the image is damaged: ", reader.get());
    }
    std::uint64_t total = 0;
    archive_entry* entry = nullptr;
    while (true) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status != ARCHIVE_OK) {
            return failure("the image is damaged: ", reader.get());
        }
        std::vector<std::string> names;
        if (auto why = refusal(entry, bundleName, names)) {
            return *why;
        }
        // Counted from the sizes the headers declare, before any data is unpacked (the reader
        // gives no more than that); each entry's header block counts too, so that a flood of
        // empty entries is bounded as well.
        total +=
            512 + static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0));
        if (total > maxBytes) {
            return "the image unpacks to more than " + std::to_string(maxBytes) + " bytes";
        }
        fs::path target = root;
        for (const std::string& name : names) {
            target /= name;
        }
        archive_entry_copy_pathname(entry, target.c_str());
        // No set-id or sticky bits, and nothing that others than the owner may change.
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0755);
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
            return failure("the image cannot be unpacked: ", writer.get());
        }
        const void* block = nullptr;
        std::size_t length = 0;
        la_int64_t offset = 0;
        int read = ARCHIVE_OK;
        while ((read = archive_read_data_block(reader.get(), &block, &length, &offset)) ==
               ARCHIVE_OK) {
            if (archive_write_data_block(writer.get(), block, length, offset) != ARCHIVE_OK) {
                return failure("the image cannot be unpacked: ", writer.get());
            }
        }
        if (read != ARCHIVE_EOF) {
            return failure("the image is damaged: ", reader.get());
        }
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) {
            return failure("the image cannot be unpacked: ", writer.get());
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        return failure("the image cannot be unpacked: ", writer.get());
    }
    if (!fs::is_directory(fs::symlink_status(root / bundleName))) {
        return "the image holds no " + bundleName;
    }
    return Bundle{bundleName, folder + "/" + bundleName};
}

} // namespace skrib::updateImage
