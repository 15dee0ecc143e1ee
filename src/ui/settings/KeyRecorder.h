#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include <QString>

class QKeyEvent;
class QWidget;

namespace skrib {

/// Asks for the one key press that becomes the custom hotkey: a modal "Press any key" dialog
/// that takes the first key pressed anywhere in the program.
class KeyRecorder {
public:
    KeyRecorder() = delete;

    /// The virtual key code and name a key press records.
    struct CapturedKey {
        std::uint16_t code;
        QString name;
    };
    /// The program's virtual key code of a key press's native scan code (X key code).
    using VirtualKeyCode = std::function<std::uint16_t(std::uint32_t nativeScanCode)>;

    /// Runs the dialog, a child of `parent`, until a key is pressed; none when the user cancels
    /// or presses Escape. Without `virtualKeyCode` the native scan code is taken as the code.
    static std::optional<CapturedKey> record(QWidget* parent, VirtualKeyCode virtualKeyCode);
    /// The key `event` records, or none for keys that are not recorded (modifier keys alone).
    static std::optional<CapturedKey> keyFor(const QKeyEvent& event,
                                             const VirtualKeyCode& virtualKeyCode);
};

} // namespace skrib
