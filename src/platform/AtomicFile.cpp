#include "platform/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace skrib {

int writeAll(int fd, std::string_view data) {
    for (std::size_t written = 0; written < data.size();) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : ENOSPC;
        }
        written += static_cast<std::size_t>(n);
    }
    return 0;
}

std::optional<std::string> readFileContents(const std::string& path, std::uint64_t limit,
                                            bool followLinks) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::optional<std::string> content;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        content.emplace();
        char buffer[1 << 16];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 || content->size() + static_cast<std::size_t>(n) > limit) {
                content.reset();
                break;
            }
            if (n == 0) {
                break;
            }
            content->append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return content;
}

int writeFileAtomically(const std::string& path, std::string_view content, FileAccess access,
                        Durability durability) {
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
    if (fd < 0) {
        return errno;
    }
    const auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return error != 0 ? error : EIO;
    };
    struct stat original {};
    if (access == FileAccess::keep && ::stat(path.c_str(), &original) == 0 &&
        ::fchmod(fd, original.st_mode & 07777) != 0) {
        return fail(errno);
    }
    if (const int error = writeAll(fd, content); error != 0) {
        return fail(error);
    }
    if (durability == Durability::flushed && ::fsync(fd) != 0) {
        return fail(errno);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return error != 0 ? error : EIO;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return error;
    }
    return 0;
}

} // namespace skrib
