#pragma once

#include "platform/KeyboardHook.h"

#include <cstdio>
#include <string>
#include <vector>

namespace skrib::testing {

/// "keyDown 8 0x40000": key events as text, so that a failed comparison reads well.
inline std::string describe(const KeyEvent& event) {
    const char* type = event.type == KeyEvent::Type::keyDown ? "keyDown"
                       : event.type == KeyEvent::Type::keyUp ? "keyUp"
                                                             : "flagsChanged";
    char text[64];
    std::snprintf(text, sizeof text, "%s %u 0x%llx", type, static_cast<unsigned>(event.keyCode),
                  static_cast<unsigned long long>(event.flags));
    return text;
}

inline std::vector<std::string> texts(const std::vector<KeyEvent>& events) {
    std::vector<std::string> texts;
    for (const auto& event : events) {
        texts.push_back(describe(event));
    }
    return texts;
}

inline KeyEvent keyDown(std::uint16_t code, std::uint64_t flags = 0) {
    return {KeyEvent::Type::keyDown, code, flags};
}
inline KeyEvent keyUp(std::uint16_t code, std::uint64_t flags = 0) {
    return {KeyEvent::Type::keyUp, code, flags};
}
inline KeyEvent flagsChanged(std::uint16_t code, std::uint64_t flags) {
    return {KeyEvent::Type::flagsChanged, code, flags};
}

} // namespace skrib::testing
