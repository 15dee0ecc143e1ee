#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace skrib {

/// One request's time split into its network phases, in milliseconds. A phase the HTTP stack
/// did not report stays 0; on a reused connection lookup, connect and TLS are 0.
struct NetworkTiming {
    double dnsMs = 0;
    double connectMs = 0;
    double tlsMs = 0;
    double uploadMs = 0;   // request start → request fully sent
    double serverMs = 0;   // request sent → first response byte
    double downloadMs = 0; // first → last response byte
    double totalMs = 0;    // the whole task
    bool reusedConnection = false;

    /// "net[reused|NEW-conn]: dns=… connect=… tls=… upload=… server=… download=… total=…"
    std::string summary() const;
};

/// Finished tasks' timings of one session, until their owner takes them. Thread-safe.
class MetricsSessionDelegate {
public:
    /// Records the timing of a finished task (replacing an earlier record for it). Records
    /// nobody takes are pruned once the table grows past `maxEntries`, oldest task first.
    void record(std::int64_t taskId, const NetworkTiming& timing);

    /// The timing of `taskId`, removed from the table; none when nothing was recorded.
    std::optional<NetworkTiming> take(std::int64_t taskId);

    std::size_t size() const;

    static constexpr std::size_t maxEntries = 64;

private:
    mutable std::mutex lock_;
    std::map<std::int64_t, NetworkTiming> timings_;
};

} // namespace skrib
