#include "platform/x11/X11Clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace skrib {

void X11Clipboard::setText(const std::string& text, bool primary) {
    if (qGuiApp == nullptr) {
        return;
    }
    QGuiApplication::clipboard()->setText(QString::fromStdString(text),
                                          primary ? QClipboard::Selection : QClipboard::Clipboard);
}

} // namespace skrib
