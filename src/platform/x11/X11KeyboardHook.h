#pragma once

#include "platform/KeyboardHook.h"
#include "platform/x11/X11KeyTranslator.h"

#include <functional>
#include <memory>
#include <string>

namespace skrib {

class X11Connection;
class X11EventSource;
class X11SentKeys;

/// The keyboard hook of an X session: XInput2 raw key events of every keyboard, read on the main
/// thread from the hook's own connection. Escape is kept from other applications by a passive
/// grab made on a second connection, so the hook still sees its presses and releases.
class X11KeyboardHook final : public KeyboardHook {
public:
    /// Connects to `displayName` (empty: $DISPLAY). Without a display the hook is not trusted
    /// and does nothing. Key events noted in `sentKeys` (the program's own) are left out.
    explicit X11KeyboardHook(const std::string& displayName = {},
                             std::shared_ptr<X11SentKeys> sentKeys = nullptr);
    ~X11KeyboardHook() override;
    X11KeyboardHook(const X11KeyboardHook&) = delete;
    X11KeyboardHook& operator=(const X11KeyboardHook&) = delete;

    /// The X server offers XInput 2 and XTEST, and has not gone away.
    bool isTrusted() override;
    /// X has nothing to ask for.
    void requestTrust() override;
    bool canSee(std::uint16_t keyCode) const override;
    /// Needs a Qt application object for its event loop.
    bool start(std::function<void(const KeyEvent&)> handler) override;
    void stop() override;
    void setEscapeGrabbed(bool grabbed) override;

private:
    bool selectRawKeys(bool selected);
    void takeKeyboardState();
    void readEvents();
    void discardGrabEvents();

    std::string displayName_;
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<X11Connection> grabConnection_;
    std::unique_ptr<X11EventSource> events_;
    std::unique_ptr<X11EventSource> grabEvents_;
    std::function<void(const KeyEvent&)> handler_;
    std::shared_ptr<X11SentKeys> sentKeys_;
    X11KeyTranslator translator_;
    int inputOpcode_ = -1;
    bool extensionsPresent_ = false;
};

} // namespace skrib
