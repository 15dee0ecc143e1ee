#pragma once

#include "log/LogSink.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace skrib {

/// The persistent log is trimmed at start-up once it holds more pieces than this.
inline constexpr int maxLogLines = 2000;
/// The per-run scratch log.
inline constexpr const char* defaultTmpLogPath = "/tmp/vs-debug.log";
/// The name of the persistent log in the home directory.
inline constexpr const char* logFileName = "/.vantuskrib.log";
/// The source every logged message is shipped with.
inline constexpr const char* logSource = "macos-app";

/// Start-up of the log, run by the entry point before anything else logs and before any other
/// thread exists: sets the log paths (home directory + "/.vantuskrib.log", and the scratch log),
/// trims the persistent log, and empties the scratch log so it holds only this run.
void prepareLogging(const std::string& homeDirectory,
                    const std::string& tmpLogPath = defaultTmpLogPath);

/// Sets the two log paths without touching the files.
void setLogPaths(std::string logPath, std::string tmpLogPath);
std::string logPath();
std::string tmpLogPath();

/// Records one event: appends "[hh:mm:ss.mmm] message" to both log files, prints the message
/// to standard output and hands it to the log sink with its level. Callable from any thread;
/// never fails. Text that is not valid UTF-8 is logged with U+FFFD in place of the bad bytes.
void debugLog(std::string_view message);

/// Appends `line` to the file at `path`, creating the file if needed. Failures are ignored.
void writeToLog(std::string_view line, const std::string& path);

/// "hh:mm:ss.mmm" of the given (default: current) time in the local time zone.
std::string timestamp();
std::string timestamp(std::chrono::system_clock::time_point time);

/// Trims the persistent log to its last maxLogLines / 2 pieces when it has more than
/// maxLogLines pieces (split on "\n"). The replacement is all-or-nothing.
void truncateLog();

/// "error" when the message contains "⚠️", "error" or "fail" (case-sensitive), else "info".
std::string_view logLevel(std::string_view message);

/// Replaces every invalid UTF-8 sequence in `text` with U+FFFD.
std::string toValidUtf8(std::string_view text);

/// Installs the sink that receives every message after the files (none: messages stop there).
void setLogSink(std::shared_ptr<LogSink> sink);

} // namespace skrib
