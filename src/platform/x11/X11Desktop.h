#pragma once

#include "platform/Desktop.h"

#include <memory>
#include <string>

namespace skrib {

class X11Connection;
class X11SentKeys;

/// The desktop of an X session: the active window and its process from the window manager's
/// EWMH properties, its program's name from the window's class, activation through the window
/// manager, synthetic keys through XTEST, and the clipboard through Qt.
class X11Desktop final : public Desktop {
public:
    /// Connects to `displayName` (empty: $DISPLAY). Without a display there is no frontmost
    /// application and no key can be sent. The keys it sends are noted in `sentKeys`, for the
    /// keyboard hook that shares it.
    explicit X11Desktop(const std::string& displayName = {},
                        std::shared_ptr<X11SentKeys> sentKeys = nullptr);
    ~X11Desktop() override;
    X11Desktop(const X11Desktop&) = delete;
    X11Desktop& operator=(const X11Desktop&) = delete;

    std::optional<TargetApplication> frontmostApplication() override;
    bool isTerminated(const TargetApplication& application) override;
    /// Asks the window manager; it may refuse (focus-stealing rules).
    void activate(const TargetApplication& application) override;
    void setClipboardText(const std::string& text) override;
    void setPrimarySelectionText(const std::string& text) override;
    /// The X server offers XTEST and has not gone away.
    bool isTrusted() override;
    bool postPaste(PasteKeys keys) override;
    bool postReturn() override;

private:
    bool canSendKeys() const;
    void send(unsigned keyCode, bool pressed);
    std::string applicationName(unsigned long window);
    std::int64_t windowProcessId(unsigned long window);

    std::unique_ptr<X11Connection> connection_;
    std::shared_ptr<X11SentKeys> sentKeys_;
    bool xtestPresent_ = false;
    std::string hostName_;
    // Atoms (X's unsigned long), so that this header needs no X header.
    unsigned long netActiveWindow_ = 0;
    unsigned long netWmPid_ = 0;
    unsigned long utf8String_ = 0;
};

} // namespace skrib
