#pragma once

#include "platform/Defaults.h"
#include "platform/KeyboardHook.h"
#include "platform/portal/PortalClient.h"

#include <string>

namespace skrib {

/// The hotkey as a global shortcut of the desktop portal (Wayland, where an X11 program sees no
/// key typed into native windows): one shortcut, "dictate", whose chord the user confirms or
/// changes in the desktop's dialog. Its activation and deactivation reach the handler as a
/// press and a release of the chosen hotkey, so that toggle and hold work as with any key.
/// Nothing else is seen: no other key, and no Escape. Main thread only.
class PortalShortcutHook final : public PortalClient, public KeyboardHook {
    Q_OBJECT

public:
    static constexpr const char* shortcutId = "dictate";
    static constexpr const char* loneKeyReason = "A lone key needs the input group on Wayland";

    explicit PortalShortcutHook(Defaults& defaults,
                                QDBusConnection bus = QDBusConnection::sessionBus());

    /// The shortcut is bound.
    bool isTrusted() override;
    /// Creates the session and binds the shortcut, proposing `preferredTrigger`; the desktop may
    /// show its dialog first.
    void requestTrust() override;
    /// Every key but the modifiers (and Fn): a shortcut is never a modifier alone.
    bool canSee(std::uint16_t keyCode) const override;
    /// Why the key cannot be the hotkey here (for the settings); empty where it can.
    static std::string whyUnseen(std::uint16_t keyCode);
    bool start(std::function<void(const KeyEvent&)> handler) override;
    void stop() override;
    /// Does nothing: the portal watches no Escape, so Escape does not cancel a dictation here.
    void setEscapeGrabbed(bool grabbed) override;

    /// The chord proposed to the desktop, in the shortcuts' notation: the stored custom hotkey
    /// where it makes one (a function key, or a letter or digit with modifiers), else Ctrl+Alt+D.
    static std::string preferredTrigger(const Defaults& defaults);

protected:
    void sessionClosed() override;

private slots:
    void onActivated(const QDBusMessage& message);
    void onDeactivated(const QDBusMessage& message);

private:
    enum class State { unbound, binding, bound };

    void bound(unsigned response, const QVariantMap& results);
    void deliver(const QDBusMessage& message, bool pressed);

    Defaults& defaults_;
    State state_ = State::unbound;
    std::function<void(const KeyEvent&)> handler_;
};

} // namespace skrib
