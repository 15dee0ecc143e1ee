#pragma once

#include <string>

namespace skrib {

/// The desktop's autostart entry ("vantu-skrib.desktop" in the XDG autostart folder) that
/// starts the program when the user logs in.
class Autostart {
public:
    /// `configHome` is $XDG_CONFIG_HOME (or ~/.config); `program` the file the entry starts.
    Autostart(std::string configHome, std::string program);

    /// Whether the entry is there and not switched off (an entry the user hid counts as off).
    bool isEnabled() const;
    /// Writes or removes the entry; false when that failed (logged).
    bool setEnabled(bool enabled);

    const std::string& entryPath() const { return entryPath_; }
    /// The entry's text for `program`, quoted as desktop entries require.
    static std::string entryText(const std::string& program);

private:
    std::string folder_;
    std::string entryPath_;
    std::string program_;
};

} // namespace skrib
