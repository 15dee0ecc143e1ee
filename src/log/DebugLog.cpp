#include "log/DebugLog.h"

#include "platform/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace skrib {
namespace {

// The log values are set once by the entry point, before any other thread exists.
std::string gLogPath;
std::string gTmpLogPath = defaultTmpLogPath;
std::mutex logLock;

std::mutex sinkLock; // guards gSink only; never held while the sink runs
std::shared_ptr<LogSink> gSink;

// The log may hold dictated text: keep it private to the user. O_NOFOLLOW keeps a planted
// symbolic link in /tmp from redirecting the scratch log.
constexpr int fileMode = 0600;

std::string lineFor(std::string_view message) {
    std::string line;
    line.reserve(message.size() + 16);
    line += '[';
    line += timestamp();
    line += "] ";
    line += message;
    line += '\n';
    return line;
}

} // namespace

void setLogPaths(std::string logPath, std::string tmpLogPath) {
    gLogPath = std::move(logPath);
    gTmpLogPath = std::move(tmpLogPath);
}

std::string logPath() {
    return gLogPath;
}
std::string tmpLogPath() {
    return gTmpLogPath;
}

void prepareLogging(const std::string& homeDirectory, const std::string& tmpLogPath) {
    setLogPaths(homeDirectory + logFileName, tmpLogPath);
    truncateLog();
    const int fd = ::open(gTmpLogPath.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, fileMode);
    if (fd >= 0) {
        ::close(fd);
    }
}

std::string timestamp() {
    return timestamp(std::chrono::system_clock::now());
}

std::string timestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto sinceEpoch = time.time_since_epoch();
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const auto millis = duration_cast<milliseconds>(sinceEpoch - wholeSeconds).count();
    const std::time_t t = static_cast<std::time_t>(wholeSeconds.count());
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis));
    return text;
}

void writeToLog(std::string_view line, const std::string& path) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, fileMode);
    if (fd < 0) {
        return;
    }
    writeAll(fd, line);
    ::close(fd);
}

void truncateLog() {
    const std::optional<std::string> read =
        gLogPath.empty() ? std::nullopt : readFileContents(gLogPath);
    if (!read) {
        return;
    }
    const std::string& content = *read;
    // Pieces are what lies between line feeds; a trailing line feed leaves an empty last piece.
    // Splitting on the byte 0x0A is exact for UTF-8, so a file holding some bytes that are not
    // UTF-8 is still trimmed instead of growing without bound.
    constexpr std::size_t keep = maxLogLines / 2;
    std::size_t lineFeeds = 0;
    for (const char c : content) {
        lineFeeds += c == '\n' ? 1 : 0;
    }
    if (lineFeeds + 1 <= static_cast<std::size_t>(maxLogLines)) {
        return;
    }
    // The last `keep` pieces begin right after the keep-th line feed counted from the end.
    std::size_t start = content.size();
    for (std::size_t seen = 0; seen < keep;) {
        start = content.rfind('\n', start - 1);
        ++seen;
    }
    writeFileAtomically(gLogPath, std::string_view(content).substr(start + 1));
}

std::string_view logLevel(std::string_view message) {
    if (message.find("\u26A0\uFE0F") != std::string_view::npos ||
        message.find("error") != std::string_view::npos ||
        message.find("fail") != std::string_view::npos) {
        return "error";
    }
    return "info";
}

std::string toValidUtf8(std::string_view text) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c == 0xE0) {
            length = 3, low = 0xA0;
        } else if (c == 0xED) {
            length = 3, high = 0x9F; // no surrogates
        } else if (c >= 0xE1 && c <= 0xEF) {
            length = 3;
        } else if (c == 0xF0) {
            length = 4, low = 0x90;
        } else if (c >= 0xF1 && c <= 0xF3) {
            length = 4;
        } else if (c == 0xF4) {
            length = 4, high = 0x8F; // nothing above U+10FFFF
        }
        std::size_t j = i + 1;
        bool valid = length != 0;
        for (std::size_t k = 1; valid && k < length; ++k, ++j) {
            const unsigned char lo = k == 1 ? low : 0x80;
            const unsigned char hi = k == 1 ? high : 0xBF;
            valid = j < n && s[j] >= lo && s[j] <= hi;
            if (!valid) {
                break;
            }
        }
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += replacement; // one replacement for the longest broken prefix
            i = std::max(j, i + 1);
        }
    }
    return out;
}

void setLogSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(sinkLock);
    gSink = std::move(sink);
}

void debugLog(std::string_view rawMessage) {
    const std::string message = toValidUtf8(rawMessage);
    const std::string line = lineFor(message);
    {
        std::lock_guard lock(logLock);
        writeToLog(line, gLogPath);
        writeToLog(line, gTmpLogPath);
    }
    std::string printed = message;
    printed += '\n';
    std::fwrite(printed.data(), 1, printed.size(), stdout);
    std::fflush(stdout);

    const std::string_view level = logLevel(message);
    std::shared_ptr<LogSink> sink;
    {
        std::lock_guard lock(sinkLock);
        sink = gSink;
    }
    if (sink) {
        sink->log(message, level, logSource);
    }
}

} // namespace skrib
