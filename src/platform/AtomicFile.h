#pragma once

#include <string>
#include <string_view>

namespace skrib {

/// Who may read a file that `writeFileAtomically` writes.
enum class FileAccess {
    keep,      // the mode of the file it replaces; owner only for a new file
    ownerOnly, // 0600 whatever the old file's mode was
};

/// Replaces `path` with `content` in one step: a temporary file in the same folder, written in
/// full and flushed to disk, then renamed over `path`. Readers see the old or the new content,
/// never part of either; on failure the old file is untouched and no temporary file is left.
/// Returns 0, or the `errno` of the step that failed.
int writeFileAtomically(const std::string& path, std::string_view content,
                        FileAccess access = FileAccess::keep);

} // namespace skrib
