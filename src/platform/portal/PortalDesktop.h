#pragma once

#include "platform/Desktop.h"
#include "platform/portal/PortalRemoteDesktop.h"

namespace skrib {

/// The desktop of a Wayland session (GNOME, KDE) through the desktop portal: keys through a
/// remote desktop session, the clipboard through that session where the portal shares it and
/// through Qt's clipboard elsewhere. The portal does not say which application is active: the
/// frontmost application has no name and cannot be brought back, and the paste goes to the
/// window that has the focus.
class PortalDesktop final : public Desktop {
public:
    /// `useClipboard`: the portal offers the clipboard (PortalProbe::clipboard).
    PortalDesktop(Defaults& defaults, bool useClipboard,
                  QDBusConnection bus = QDBusConnection::sessionBus());

    /// An application without a window, process or name.
    std::optional<TargetApplication> frontmostApplication() override;
    bool isTerminated(const TargetApplication& application) override;
    /// Does nothing: the portal raises no other program's window.
    void activate(const TargetApplication& application) override;
    void setClipboardText(const std::string& text) override;
    /// Through Qt (no portal shares it); nothing happens without a Qt GUI application.
    void setPrimarySelectionText(const std::string& text) override;
    /// Until the user refuses the remote desktop session.
    bool isTrusted() override;
    /// Sent once the session runs (the first paste of a run may wait for the user's consent).
    /// Modifiers the user still holds are not lifted: the portal does not tell which are down.
    bool postPaste(PasteKeys keys) override;
    bool postReturn() override;

private:
    PortalRemoteDesktop remote_;
};

} // namespace skrib
