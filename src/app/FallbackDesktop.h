#pragma once

#include "platform/Desktop.h"

#include <functional>
#include <memory>
#include <string>

namespace skrib {

class UinputKeyboard;

/// The desktop of a Wayland session that offers no way of its own to type into other windows:
/// keys through a uinput keyboard where /dev/uinput may be written, else the clipboard alone,
/// and the user is told once to paste it. Which application is active is not known: the text
/// goes to the window that has the focus.
class FallbackDesktop final : public Desktop {
public:
    using SetSelection = std::function<void(const std::string& text, bool primary)>;

    /// `keyboard` may be null (clipboard only); `tellUser` shows the one-time notice.
    FallbackDesktop(std::unique_ptr<UinputKeyboard> keyboard, SetSelection setSelection,
                    std::function<void(const std::string&)> tellUser);
    ~FallbackDesktop() override;

    std::optional<TargetApplication> frontmostApplication() override;
    bool isTerminated(const TargetApplication&) override { return false; }
    void activate(const TargetApplication&) override {}
    void setClipboardText(const std::string& text) override;
    void setPrimarySelectionText(const std::string& text) override;
    bool isTrusted() override;
    bool postPaste(PasteKeys keys) override;
    bool postReturn() override;

private:
    std::unique_ptr<UinputKeyboard> keyboard_;
    SetSelection setSelection_;
    std::function<void(const std::string&)> tellUser_;
    bool told_ = false;
};

} // namespace skrib
