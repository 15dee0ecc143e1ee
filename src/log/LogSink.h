#pragma once

#include <string_view>

namespace skrib {

/// Where every logged message goes after the log files: the log shipper fills this in.
/// Called on the logging thread, after the file lock is released; must not block or log.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void log(std::string_view message, std::string_view level, std::string_view source) = 0;
};

} // namespace skrib
