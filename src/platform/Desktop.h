#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace skrib {

/// The application that had the user's focus: its top-level window and process.
struct TargetApplication {
    std::uint64_t window = 0;
    std::int64_t processId = 0; // 0 when unknown
    std::string name;           // the program's name, never a window title; empty when unknown
};

/// The chord that pastes: Ctrl+V in most programs, Ctrl+Shift+V in most terminals (where Ctrl+V
/// is a control character), Shift+Insert in the terminals that paste the PRIMARY selection.
enum class PasteKeys { ctrlV, ctrlShiftV, shiftInsert };

/// What text insertion needs from the desktop. All on the main thread.
class Desktop {
public:
    virtual ~Desktop() = default;

    /// The application whose window is active now; none when no window is active.
    virtual std::optional<TargetApplication> frontmostApplication() = 0;
    /// Whether the application has gone (window closed or process ended).
    virtual bool isTerminated(const TargetApplication& application) = 0;
    /// Brings the application's window to the front and gives it the focus.
    virtual void activate(const TargetApplication& application) = 0;
    /// Replaces the clipboard's content with plain text; the program keeps serving it.
    virtual void setClipboardText(const std::string& text) = 0;
    /// Replaces the PRIMARY selection's content (what Shift+Insert pastes in some terminals) with
    /// plain text; the program keeps serving it.
    virtual void setPrimarySelectionText(const std::string& text) = 0;
    /// Whether synthetic key presses can be sent.
    virtual bool isTrusted() = 0;
    /// Sends the paste chord after releasing any modifier that is still held, and presses those
    /// modifiers again afterwards (the user still holds them); false when the key events could
    /// not be made.
    virtual bool postPaste(PasteKeys keys) = 0;
    /// Sends Return; false when the key events could not be made.
    virtual bool postReturn() = 0;
};

} // namespace skrib
