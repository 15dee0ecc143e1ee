#pragma once

#include <optional>
#include <string>
#include <vector>

namespace skrib {

/// Child processes.
class ProcessRunner {
public:
    struct Result {
        bool started = false; // false: the program could not be run (see `error`)
        int exitStatus = -1;  // when started: the exit status (128 + signal when killed)
        std::string output;   // standard output and standard error, interleaved
        std::string error;    // why it could not be started
    };

    virtual ~ProcessRunner() = default;

    /// Runs `program` with `arguments` and waits for it, collecting its output through one pipe.
    virtual Result run(const std::string& program, const std::vector<std::string>& arguments) = 0;

    /// Starts `program` detached in a new session, without waiting; false when it could not be
    /// started.
    virtual bool spawnDetached(const std::string& program,
                               const std::vector<std::string>& arguments) = 0;
};

} // namespace skrib
