#pragma once

namespace skrib::notifications {

// Every in-process notification of the program, by name.

/// The tray menu's "Start Recording" item: starts as the hotkey's press does. No object.
inline constexpr const char* startDictation = "dev.qorin.vantu-skrib.startDictation";
/// The tray menu's "Stop Recording" item: stops and sends as the hotkey's press does. No
/// object.
inline constexpr const char* stopDictation = "dev.qorin.vantu-skrib.stopDictation";
/// The account data stored a new vocabulary in the local file (on any thread). No object.
inline constexpr const char* vocabChanged = "dev.qorin.vantu-skrib.vocabChanged";
/// The user picked a hotkey or recorded a custom key. Object: the new HotkeyOption.
inline constexpr const char* hotkeyChanged = "dev.qorin.vantu-skrib.hotkeyChanged";
/// The capture manager set AppState's currentMicName. No object.
inline constexpr const char* micNameChanged = "dev.qorin.vantu-skrib.micNameChanged";
/// The capsule size setting changed. No object.
inline constexpr const char* capsuleSizeChanged = "dev.qorin.vantu-skrib.capsuleSizeChanged";
/// A dictation was kept for a retry, sent again or let go (main thread). No object.
inline constexpr const char* keptDictationsChanged = "dev.qorin.vantu-skrib.keptDictationsChanged";
/// Show the hotkey settings in the main window. No object.
inline constexpr const char* showHotkeySettings = "dev.qorin.vantu-skrib.showHotkeySettings";

} // namespace skrib::notifications
