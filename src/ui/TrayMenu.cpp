#include "ui/TrayMenu.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPixmap>

namespace skrib {

QList<TrayMenu::Item> TrayMenu::items(SkribState state, const std::optional<std::string>& micName,
                                      const QString& version, std::size_t keptCount) {
    const Item separator{Action::separator, {}, false, {}};
    QList<Item> items{
        {Action::toggleRecording,
         state == SkribState::listening ? QStringLiteral("Stop Recording")
                                        : QStringLiteral("Start Recording"),
         true,
         {}},
        separator,
        {Action::openWindow, QStringLiteral("Open Window"), true,
         QKeySequence(Qt::CTRL | Qt::Key_Comma)},
        separator,
        {Action::none,
         QString::fromUtf8("🎤 ") +
             (micName ? QString::fromStdString(*micName) : QStringLiteral("System Default")),
         false,
         {}},
        separator,
        {Action::none, QStringLiteral("Version ") + (version.isEmpty() ? QStringLiteral("?") : version),
         false,
         {}},
        {Action::checkForUpdates, QString::fromUtf8("Check for Updates…"), true, {}},
        separator,
        {Action::quit, QStringLiteral("Quit"), true, QKeySequence(Qt::CTRL | Qt::Key_Q)},
    };
    if (keptCount > 0) {
        items.insert(1, Item{Action::retryKept,
                             QStringLiteral("Retry Failed Dictations (%1)").arg(keptCount),
                             true,
                             {}});
    }
    return items;
}

void TrayMenu::fill(QMenu& menu, const QList<Item>& items,
                    const std::function<void(Action)>& perform) {
    for (const Item& item : items) {
        if (item.action == Action::separator) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(item.title);
        action->setEnabled(item.enabled);
        action->setShortcut(item.shortcut);
        if (item.action != Action::none) {
            QObject::connect(action, &QAction::triggered, &menu,
                             [perform, which = item.action] { perform(which); });
        }
    }
}

QColor TrayMenu::dotColor(SkribState state) {
    switch (state) {
    case SkribState::idle:
        return QColor(255, 255, 255, 217); // white at 85 %
    case SkribState::listening:
        return QColor(0xFF, 0x9F, 0x0A); // orange
    case SkribState::processing:
        return QColor(0x30, 0xD1, 0x58); // green
    case SkribState::error:
        return QColor(0xFF, 0x45, 0x3A); // red
    }
    return Qt::transparent;
}

QIcon TrayMenu::dotIcon(SkribState state) {
    QPixmap pixmap(20, 20);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(dotColor(state));
    painter.drawEllipse(QRectF(5, 5, 10, 10));
    return QIcon(pixmap);
}

} // namespace skrib
