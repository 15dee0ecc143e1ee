#include "platform/portal/PortalDesktop.h"

#include <linux/input-event-codes.h>

#include <QClipboard>
#include <QGuiApplication>

namespace skrib {
namespace {

void setQtClipboard(const std::string& text, QClipboard::Mode mode) {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (mode == QClipboard::Clipboard || clipboard->supportsSelection()) {
        clipboard->setText(QString::fromStdString(text), mode);
    }
}

} // namespace

PortalDesktop::PortalDesktop(Defaults& defaults, bool useClipboard, QDBusConnection bus)
    : remote_(
          defaults, useClipboard,
          [](const std::string& text) { setQtClipboard(text, QClipboard::Clipboard); },
          std::move(bus)) {}

std::optional<TargetApplication> PortalDesktop::frontmostApplication() {
    return TargetApplication{};
}

bool PortalDesktop::isTerminated(const TargetApplication&) {
    return false;
}

void PortalDesktop::activate(const TargetApplication&) {}

void PortalDesktop::setClipboardText(const std::string& text) {
    remote_.setClipboardText(text);
}

void PortalDesktop::setPrimarySelectionText(const std::string& text) {
    setQtClipboard(text, QClipboard::Selection);
}

bool PortalDesktop::isTrusted() {
    return remote_.usable();
}

bool PortalDesktop::postPaste(PasteKeys keys) {
    switch (keys) {
    case PasteKeys::ctrlV:
        remote_.pressChord({KEY_LEFTCTRL, KEY_V});
        break;
    case PasteKeys::ctrlShiftV:
        remote_.pressChord({KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_V});
        break;
    case PasteKeys::shiftInsert:
        remote_.pressChord({KEY_LEFTSHIFT, KEY_INSERT});
        break;
    }
    return remote_.usable();
}

bool PortalDesktop::postReturn() {
    remote_.pressChord({KEY_ENTER});
    return remote_.usable();
}

} // namespace skrib
