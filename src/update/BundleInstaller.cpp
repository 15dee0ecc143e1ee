#include "update/BundleInstaller.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace skrib::bundleInstaller {
namespace {

// Beside the target "X" an installation keeps ".X.update-XXXXXX", the new folder while it is
// made (after the swap, the old one on its way out), and, where the file system cannot exchange
// two folders in one step, ".X.old-XXXXXX", the old folder set aside for a moment.
constexpr std::string_view stagingMark = ".update-", setAsideMark = ".old-";
constexpr std::size_t uniqueLength = 6; // the XXXXXX of mkdtemp

// A file descriptor, closed when it goes.
class Fd {
public:
    explicit Fd(int fd)
        : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

std::string failure(const std::string& what, int error = errno) {
    return what + ": " + std::strerror(error);
}

std::string inQuotes(const std::string& path) {
    return "“" + path + "”";
}

// The folder holding `path` and the name of `path` in it.
std::pair<std::string, std::string> split(const std::string& path) {
    std::filesystem::path normal = std::filesystem::path(path).lexically_normal();
    if (!normal.has_filename()) {
        normal = normal.parent_path(); // "a/b/" names "b"
    }
    return {normal.has_parent_path() ? normal.parent_path().string() : ".",
            normal.filename().string()};
}

Fd openFolder(int at, const std::string& name) {
    return Fd(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The names in an open folder (without "." and ".."), or nothing (errno set) when unreadable.
std::optional<std::vector<std::string>> namesIn(int folder) {
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (dir == nullptr) {
        if (copy >= 0) {
            ::close(copy);
        }
        return std::nullopt;
    }
    ::rewinddir(dir); // the copy shares its reading position with `folder`
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return error == 0 ? std::optional(std::move(names)) : std::nullopt;
}

// Removes `name` from the folder `parent`, with all it holds when it is a folder, never
// following a symbolic link; as much as it can.
void removeTree(int parent, const std::string& name) {
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        if ((info.st_mode & S_IRWXU) != S_IRWXU) { // a read-only folder of one's own can be emptied
            ::fchmodat(parent, name.c_str(), (info.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW);
        }
        const Fd folder = openFolder(parent, name);
        const auto names = folder.get() >= 0 ? namesIn(folder.get()) : std::nullopt;
        for (const std::string& entry : names.value_or(std::vector<std::string>{})) {
            removeTree(folder.get(), entry);
        }
    }
    ::unlinkat(parent, name.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0);
}

// renameat2(RENAME_NOREPLACE), or where the file system has no such flag, a look and a rename.
int moveNoReplace(int parent, const std::string& from, const std::string& to) {
    if (::renameat2(parent, from.c_str(), parent, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    struct stat info {};
    if (::fstatat(parent, to.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(parent, from.c_str(), parent, to.c_str());
}

// A file or folder made in the staging folder: its path there and the permissions it gets once
// flushed (until then it stays the owner's, so that it can be filled and reopened).
struct Made {
    std::string path;
    mode_t mode;
};

// Copies what the folder `from` holds into the empty folder `to`; `prefix` is the path of
// `from` inside the tree, for messages and `made`.
std::optional<std::string> copyFolder(int from, int to, const std::string& prefix,
                                      const std::atomic<bool>* cancel, std::vector<Made>& made) {
    const auto names = namesIn(from);
    if (!names) {
        return failure("Cannot read the folder " + inQuotes(prefix.empty() ? "." : prefix));
    }
    for (const std::string& name : *names) {
        if (cancel != nullptr && cancel->load()) {
            return "cancelled";
        }
        const std::string path = prefix + name;
        struct stat info {};
        if (::fstatat(from, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return failure("Cannot look at " + inQuotes(path));
        }
        const mode_t mode = info.st_mode & 0777; // set-id and sticky bits are not carried over
        if (S_ISREG(info.st_mode)) {
            const Fd in(::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            const Fd out(::openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (in.get() < 0 || out.get() < 0) {
                return failure("Cannot copy " + inQuotes(path));
            }
            made.push_back({path, mode});
            for (ssize_t sent = 1; sent != 0;) {
                sent = ::sendfile(out.get(), in.get(), nullptr, 1 << 30);
                if (sent < 0 && errno != EINTR) {
                    return failure("Cannot copy " + inQuotes(path));
                }
            }
        } else if (S_ISDIR(info.st_mode)) {
            if (::mkdirat(to, name.c_str(), 0700) != 0) {
                return failure("Cannot make the folder " + inQuotes(path));
            }
            made.push_back({path, mode});
            const Fd in = openFolder(from, name), out = openFolder(to, name);
            if (in.get() < 0 || out.get() < 0) {
                return failure("Cannot copy the folder " + inQuotes(path));
            }
            if (auto problem = copyFolder(in.get(), out.get(), path + "/", cancel, made)) {
                return problem;
            }
        } else if (S_ISLNK(info.st_mode)) {
            std::string link(PATH_MAX, '\0');
            const ssize_t length = ::readlinkat(from, name.c_str(), link.data(), link.size());
            if (length < 0 || static_cast<std::size_t>(length) == link.size()) {
                return failure("Cannot read the link " + inQuotes(path),
                               length < 0 ? errno : ENAMETOOLONG);
            }
            link.resize(static_cast<std::size_t>(length));
            if (::symlinkat(link.c_str(), to, name.c_str()) != 0) {
                return failure("Cannot copy the link " + inQuotes(path));
            }
        } else {
            return inQuotes(path) + " is neither a file, a folder nor a symbolic link";
        }
    }
    return std::nullopt;
}

// Gives what was made its permissions and flushes it to disk, every folder after what it holds.
std::optional<std::string> flush(int staging, const std::vector<Made>& made) {
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        const Fd fd(::openat(staging, it->path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0 || ::fchmod(fd.get(), it->mode) != 0 || ::fsync(fd.get()) != 0) {
            return failure("Cannot write " + inQuotes(it->path) + " to disk");
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> install(const std::string& source, const std::string& target,
                                   const std::atomic<bool>* cancel, const Checkpoint& checkpoint) {
    const auto [parentPath, name] = split(target);
    if (name.empty() || name == "." || name == "..") {
        return "Cannot install into " + inQuotes(target);
    }
    const Fd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Fd from(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat sourceInfo {};
    if (parent.get() < 0 || from.get() < 0 || ::fstat(from.get(), &sourceInfo) != 0) {
        return failure("Cannot open " + inQuotes(parent.get() < 0 ? parentPath : source));
    }
    std::string stagingPath = parentPath + "/." + name + std::string(stagingMark) + "XXXXXX";
    if (::mkdtemp(stagingPath.data()) == nullptr) {
        return failure("Cannot make a folder beside " + inQuotes(target));
    }
    const std::string staging = stagingPath.substr(parentPath.size() + 1);
    const auto discard = [&](std::optional<std::string> problem) {
        removeTree(parent.get(), staging);
        ::fsync(parent.get());
        return problem;
    };
    const auto stopAt = [&](Step step) { return checkpoint ? checkpoint(step) : std::nullopt; };

    std::vector<Made> made{{".", sourceInfo.st_mode & 0777}};
    const Fd to = openFolder(parent.get(), staging);
    if (to.get() < 0) {
        return discard(failure("Cannot open " + inQuotes(stagingPath)));
    }
    if (auto problem = copyFolder(from.get(), to.get(), "", cancel, made)) {
        return discard(problem);
    }
    if (auto problem = stopAt(Step::staged)) {
        return discard(problem);
    }
    if (auto problem = flush(to.get(), made)) {
        return discard(problem);
    }
    if (auto problem = stopAt(Step::synced)) {
        return discard(problem);
    }

    // The swap. Afterwards the old folder (if any) is at `staging`, or at `setAside` where the
    // file system took two renames.
    struct stat targetInfo {};
    const bool replacing =
        ::fstatat(parent.get(), name.c_str(), &targetInfo, AT_SYMLINK_NOFOLLOW) == 0;
    std::string setAside;
    if (!replacing) {
        if (moveNoReplace(parent.get(), staging, name) != 0) {
            return discard(failure("Cannot move the new folder to " + inQuotes(target)));
        }
    } else if (::renameat2(parent.get(), staging.c_str(), parent.get(), name.c_str(),
                           RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) {
            return discard(failure("Cannot swap the new folder with " + inQuotes(target)));
        }
        // mkdtemp reserves the name; a folder may be renamed over an empty one.
        std::string path = parentPath + "/." + name + std::string(setAsideMark) + "XXXXXX";
        if (::mkdtemp(path.data()) == nullptr) {
            return discard(failure("Cannot make a folder beside " + inQuotes(target)));
        }
        setAside = path.substr(parentPath.size() + 1);
        if (::renameat(parent.get(), name.c_str(), parent.get(), setAside.c_str()) != 0) {
            const int error = errno;
            ::unlinkat(parent.get(), setAside.c_str(), AT_REMOVEDIR);
            return discard(failure("Cannot move " + inQuotes(target) + " aside", error));
        }
        if (::renameat(parent.get(), staging.c_str(), parent.get(), name.c_str()) != 0) {
            const int error = errno;
            ::renameat(parent.get(), setAside.c_str(), parent.get(), name.c_str());
            return discard(failure("Cannot move the new folder to " + inQuotes(target), error));
        }
    }
    std::optional<std::string> problem;
    if (::fsync(parent.get()) != 0) {
        problem = failure("Cannot write " + inQuotes(parentPath) + " to disk");
    }
    if (problem || (problem = stopAt(Step::swapped))) {
        if (replacing && setAside.empty()) {
            ::renameat2(parent.get(), staging.c_str(), parent.get(), name.c_str(), RENAME_EXCHANGE);
        } else { // the staging name is free again
            ::renameat(parent.get(), name.c_str(), parent.get(), staging.c_str());
            if (replacing) {
                ::renameat(parent.get(), setAside.c_str(), parent.get(), name.c_str());
            }
        }
        return discard(problem);
    }

    // The new folder is installed. What of the old one cannot be removed now, removeLeftovers
    // removes later.
    if (replacing) {
        removeTree(parent.get(), setAside.empty() ? staging : setAside);
        ::fsync(parent.get());
    }
    stopAt(Step::cleaned); // nothing left to stop
    return std::nullopt;
}

void removeLeftovers(const std::string& target) {
    const auto [parentPath, name] = split(target);
    const Fd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto names = parent.get() >= 0 ? namesIn(parent.get()) : std::nullopt;
    if (name.empty() || !names) {
        return;
    }
    const auto isLeftover = [&](const std::string& entry, std::string_view mark) {
        const std::string prefix = "." + name + std::string(mark);
        if (entry.size() != prefix.size() + uniqueLength || !entry.starts_with(prefix)) {
            return false;
        }
        const std::string_view unique = std::string_view(entry).substr(prefix.size());
        struct stat info {};
        return std::all_of(unique.begin(), unique.end(),
                           [](unsigned char c) { return std::isalnum(c) != 0; }) &&
               ::fstatat(parent.get(), entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
    };
    struct stat info {};
    bool targetMissing =
        ::fstatat(parent.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
    for (const std::string& entry : *names) {
        if (isLeftover(entry, setAsideMark)) {
            // The process ended between moving the old folder aside and moving in the new one
            // (or back): the old folder goes back.
            if (targetMissing && moveNoReplace(parent.get(), entry, name) == 0) {
                targetMissing = false;
            } else {
                removeTree(parent.get(), entry);
            }
        }
    }
    for (const std::string& entry : *names) {
        if (isLeftover(entry, stagingMark)) {
            removeTree(parent.get(), entry);
        }
    }
    ::fsync(parent.get());
}

} // namespace skrib::bundleInstaller
