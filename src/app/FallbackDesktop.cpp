#include "app/FallbackDesktop.h"

#include "platform/evdev/UinputKeyboard.h"

namespace skrib {

FallbackDesktop::FallbackDesktop(std::unique_ptr<UinputKeyboard> keyboard,
                                 SetSelection setSelection,
                                 std::function<void(const std::string&)> tellUser)
    : keyboard_(std::move(keyboard))
    , setSelection_(std::move(setSelection))
    , tellUser_(std::move(tellUser)) {}

FallbackDesktop::~FallbackDesktop() = default;

std::optional<TargetApplication> FallbackDesktop::frontmostApplication() {
    return TargetApplication{}; // some window has the focus; which one is not known
}

void FallbackDesktop::setClipboardText(const std::string& text) {
    setSelection_(text, false);
    if (!isTrusted() && !told_ && tellUser_) {
        told_ = true;
        tellUser_("Text copied — press Ctrl+V to paste");
    }
}

void FallbackDesktop::setPrimarySelectionText(const std::string& text) {
    setSelection_(text, true);
}

bool FallbackDesktop::isTrusted() {
    return keyboard_ && keyboard_->ready();
}

bool FallbackDesktop::postPaste(PasteKeys keys) {
    return isTrusted() && keyboard_->paste(keys);
}

bool FallbackDesktop::postReturn() {
    return isTrusted() && keyboard_->pressReturn();
}

} // namespace skrib
