#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>

namespace skrib::bundleInstaller {

/// The steps of an installation, in order, for tests that fail it or end the process there.
enum class Step {
    staged,  // the new folder is copied beside the target
    synced,  // ... and flushed to disk
    swapped, // the target is now the new folder; the old one waits beside it
    cleaned, // the old folder is removed
};
/// Called after each step; an error text stops the installation there (it is rolled back). After
/// `cleaned` nothing is left to stop (the old folder is gone), so that answer is ignored.
using Checkpoint = std::function<std::optional<std::string>(Step)>;

/// Puts a copy of the folder `source` at `target` (whose parent folder must exist), so that at
/// every moment `target` is either the complete old folder or the complete new one: the copy is
/// made beside the target (same file system), flushed, and swapped in with one rename (two where
/// the file system cannot exchange folders; see removeLeftovers for the moment between). The copy
/// holds files with their permission bits (not set-id or sticky bits), folders and symbolic
/// links as links; anything else in `source` is refused. Nothing on success; otherwise why not,
/// with the old folder as it was and nothing left beside it. `cancel`, when set during the copy,
/// stops it the same way ("cancelled").
std::optional<std::string> install(const std::string& source, const std::string& target,
                                   const std::atomic<bool>* cancel = nullptr,
                                   const Checkpoint& checkpoint = {});

/// Removes what an installation that did not finish (the process ended) left beside `target`:
/// its folders (".NAME.update-XXXXXX", ".NAME.old-XXXXXX") that are the user's, never following
/// a symbolic link. Where the process ended with the old folder moved aside and `target`
/// missing, the old folder goes back first.
void removeLeftovers(const std::string& target);

} // namespace skrib::bundleInstaller
