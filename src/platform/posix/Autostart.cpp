#include "platform/posix/Autostart.h"

#include "log/DebugLog.h"
#include "platform/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace skrib {

Autostart::Autostart(std::string configHome, std::string program)
    : folder_(std::move(configHome) + "/autostart")
    , entryPath_(folder_ + "/vantu-skrib.desktop")
    , program_(std::move(program)) {}

bool Autostart::isEnabled() const {
    std::ifstream entry(entryPath_);
    if (!entry) {
        return false;
    }
    for (std::string line; std::getline(entry, line);) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") {
            return false;
        }
    }
    return true;
}

bool Autostart::setEnabled(bool enabled) {
    if (!enabled) {
        if (::unlink(entryPath_.c_str()) != 0 && errno != ENOENT) {
            debugLog("⚠️ Could not remove " + entryPath_ + ": " + std::strerror(errno));
            return false;
        }
        debugLog("🚀 Start at login off");
        return true;
    }
    std::error_code ignored; // a missing folder shows as the write's error
    std::filesystem::create_directories(folder_, ignored);
    const int error = writeFileAtomically(entryPath_, entryText(program_));
    if (error != 0) {
        debugLog("⚠️ Could not write " + entryPath_ + ": " + std::strerror(error));
        return false;
    }
    debugLog("🚀 Start at login on: " + entryPath_);
    return true;
}

std::string Autostart::entryText(const std::string& program) {
    // Inside double quotes, a desktop entry reserves " ` $ and \ (escaped with a backslash),
    // and the backslash of the string value itself is escaped again.
    std::string quoted;
    for (const char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += "\\\\";
        }
        quoted += c;
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vantu Skrib\n"
           "Comment=Dictate into any application\n"
           "Exec=\"" + quoted + "\"\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

} // namespace skrib
