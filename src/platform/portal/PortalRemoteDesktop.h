#pragma once

#include "platform/Defaults.h"
#include "platform/portal/PortalClient.h"

#include <deque>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace skrib {

/// A remote desktop session of the desktop portal with the keyboard only: keys typed into
/// whatever window has the focus, and the clipboard where the portal shares it. The session
/// starts at the first use; the portal asks the user once, and the restore token it gives back
/// (kept in the settings as "remoteDesktopRestoreToken") lets later runs start without asking.
/// Until the session runs, keys and clipboard text wait in order. Main thread only.
class PortalRemoteDesktop final : public PortalClient {
    Q_OBJECT

public:
    static constexpr const char* restoreTokenKey = "remoteDesktopRestoreToken";
    /// Offered to the pasting application.
    static constexpr const char* textMimeType = "text/plain;charset=utf-8";

    /// `useClipboard`: the portal offers the clipboard (PortalProbe). `fallbackClipboard` takes
    /// the text when the session has no clipboard.
    PortalRemoteDesktop(Defaults& defaults, bool useClipboard,
                        std::function<void(const std::string&)> fallbackClipboard,
                        QDBusConnection bus = QDBusConnection::sessionBus());

    /// Presses the keys (evdev key codes) in order and releases them in reverse order.
    void pressChord(std::vector<int> keys);
    /// Makes `text` the clipboard's content, served to whoever pastes it.
    void setClipboardText(std::string text);
    /// False once the user has refused the session: nothing is typed until the program restarts.
    bool usable() const { return state_ != State::refused; }

protected:
    void sessionClosed() override;

private slots:
    void onSelectionTransfer(const QDBusMessage& message);

private:
    enum class State { idle, starting, started, refused };
    using Step = std::variant<std::string, std::vector<int>>; // clipboard text or a chord

    void enqueue(Step step);
    void start();
    void started(unsigned response, const QVariantMap& results);
    void giveUp(unsigned response);
    void runSteps();

    Defaults& defaults_;
    bool useClipboard_;
    bool clipboardEnabled_ = false;
    std::function<void(const std::string&)> fallbackClipboard_;
    State state_ = State::idle;
    std::deque<Step> steps_;
    bool stepRunning_ = false;
    std::string clipboardText_;
};

} // namespace skrib
