#include "platform/x11/X11EventSource.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace skrib {

X11EventSource::X11EventSource(int fileDescriptor, std::function<void()> onReadable)
    : callback_(std::make_shared<const std::function<void()>>(std::move(onReadable)))
    , notifier_(new QSocketNotifier(fileDescriptor, QSocketNotifier::Read)) {
    QObject::connect(notifier_, &QSocketNotifier::activated, notifier_,
                     [callback = callback_] { (*callback)(); });
}

X11EventSource::~X11EventSource() {
    notifier_->setEnabled(false);
    notifier_->deleteLater();
}

bool X11EventSource::available() {
    return QCoreApplication::instance() != nullptr;
}

void X11EventSource::readSoon() {
    QTimer::singleShot(0, notifier_, [callback = callback_, notifier = notifier_] {
        if (notifier->isEnabled()) {
            (*callback)();
        }
    });
}

} // namespace skrib
