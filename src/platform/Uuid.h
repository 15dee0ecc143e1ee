#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace skrib {

/// A random (version 4) UUID.
class Uuid {
public:
    /// A fresh random identifier.
    Uuid();

    /// The canonical text form in upper case, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string uuidString() const;

    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

} // namespace skrib
