#include "platform/NetworkTiming.h"

#include <cstdio>

namespace skrib {

std::string NetworkTiming::summary() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "net[%s]: dns=%.0f connect=%.0f tls=%.0f upload=%.0f server=%.0f download=%.0f "
                  "total=%.0f",
                  reusedConnection ? "reused" : "NEW-conn", dnsMs, connectMs, tlsMs, uploadMs,
                  serverMs, downloadMs, totalMs);
    return text;
}

} // namespace skrib
