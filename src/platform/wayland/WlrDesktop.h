#pragma once

#include "platform/Desktop.h"
#include "platform/wayland/Session.h"

#include <functional>
#include <memory>
#include <string>

namespace skrib {

/// The desktop of a wlroots compositor (sway, Hyprland, river) through its own protocols: the
/// clipboard and the primary selection through data control, keys through a virtual keyboard,
/// the active window and its activation through foreign toplevels. A thread of its own reads the
/// compositor, so the clipboard is served while the main thread is busy; it stops, and the
/// clipboard with it, when the object goes.
///
/// Without foreign toplevels the frontmost application has no window and no name, and the text
/// goes to whichever window has the focus. Without a virtual keyboard no key can be sent.
class WlrDesktop final : public Desktop {
public:
    /// Sets the clipboard (`primary` false) or the primary selection, as X11Clipboard::setText.
    using SetSelection = std::function<void(const std::string& text, bool primary)>;

    /// Connects to `displayName` (empty: $WAYLAND_DISPLAY). Where the compositor offers no data
    /// control, `fallbackClipboard` sets the selections (nothing when it is empty).
    explicit WlrDesktop(const std::string& displayName = {}, SetSelection fallbackClipboard = {});
    ~WlrDesktop() override;
    WlrDesktop(const WlrDesktop&) = delete;
    WlrDesktop& operator=(const WlrDesktop&) = delete;

    /// What this desktop works with: each protocol offered and taken into use (the virtual
    /// keyboard when it was made with its keymap). None without a compositor.
    WaylandProtocols protocols() const;

    std::optional<TargetApplication> frontmostApplication() override;
    bool isTerminated(const TargetApplication& application) override;
    void activate(const TargetApplication& application) override;
    void setClipboardText(const std::string& text) override;
    void setPrimarySelectionText(const std::string& text) override;
    /// The virtual keyboard was made and the compositor has not gone away.
    bool isTrusted() override;
    /// The keys come from a keyboard of their own, with its own modifiers: a key the user still
    /// holds on another keyboard does not change the chord, and is not released.
    bool postPaste(PasteKeys keys) override;
    bool postReturn() override;

    struct Connection;

private:
    void setSelection(const std::string& text, bool primary);

    std::unique_ptr<Connection> connection_;
    SetSelection fallbackClipboard_;
};

} // namespace skrib
