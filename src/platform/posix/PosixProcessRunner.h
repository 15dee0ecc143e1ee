#pragma once

#include "platform/ProcessRunner.h"

namespace skrib {

/// Child processes with posix_spawn.
class PosixProcessRunner final : public ProcessRunner {
public:
    Result run(const std::string& program, const std::vector<std::string>& arguments) override;
    bool spawnDetached(const std::string& program,
                       const std::vector<std::string>& arguments) override;
};

} // namespace skrib
