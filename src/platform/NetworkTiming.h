#pragma once

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

} // namespace skrib
