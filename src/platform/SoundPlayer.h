#pragma once

#include <string>

namespace skrib {

/// Plays the program's short feedback sounds ("Blow", "Glass", "Basso") without blocking.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    /// Plays the named sound; an unknown name is ignored.
    virtual void play(const std::string& name) = 0;
};

} // namespace skrib
