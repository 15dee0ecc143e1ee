#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace skrib {

/// Who may read a file that `writeFileAtomically` writes.
enum class FileAccess {
    keep,      // the mode of the file it replaces; owner only for a new file
    ownerOnly, // 0600 whatever the old file's mode was
};

/// Writes all of `data` to `fd`, carrying on after interruptions and short writes. Returns 0,
/// or the `errno` of the write that failed (ENOSPC when nothing more could be written).
int writeAll(int fd, std::string_view data);

/// The whole content of the regular file `path`; none when it cannot be opened or read, is no
/// regular file, or holds more than `limit` bytes. Without `followLinks` a symbolic link counts
/// as unreadable.
std::optional<std::string>
readFileContents(const std::string& path,
                 std::uint64_t limit = std::numeric_limits<std::uint64_t>::max(),
                 bool followLinks = true);

/// Whether `writeFileAtomically` waits until the content is on the disk.
enum class Durability {
    flushed, // survives a power cut once the call returns
    cached,  // survives the program ending at any moment (the system writes it out soon)
};

/// Replaces `path` with `content` in one step: a temporary file in the same folder, written in
/// full (and flushed to disk), then renamed over `path`. Readers see the old or the new content,
/// never part of either; on failure the old file is untouched and no temporary file is left.
/// Returns 0, or the `errno` of the step that failed.
int writeFileAtomically(const std::string& path, std::string_view content,
                        FileAccess access = FileAccess::keep,
                        Durability durability = Durability::flushed);

} // namespace skrib
