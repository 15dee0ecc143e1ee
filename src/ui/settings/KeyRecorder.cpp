#include "ui/settings/KeyRecorder.h"

#include "platform/KeyboardHook.h"
#include "ui/BrandFonts.h"
#include "ui/settings/SettingsWidgets.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace skrib {
namespace {

/// While a key recorder runs: takes the first key press anywhere in the program.
class KeyPressMonitor : public QObject {
public:
    explicit KeyPressMonitor(std::function<bool(const QKeyEvent&)> onKeyPress)
        : onKeyPress_(std::move(onKeyPress)) {
        qApp->installEventFilter(this);
    }
    ~KeyPressMonitor() override { remove(); }
    void remove() {
        if (installed_) {
            qApp->removeEventFilter(this);
            installed_ = false;
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (installed_ && event->type() == QEvent::ShortcutOverride) {
            // No shortcut may take the key from the recorder.
            event->accept();
            return true;
        }
        if (installed_ && event->type() == QEvent::KeyPress) {
            return onKeyPress_(*static_cast<QKeyEvent*>(event));
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<bool(const QKeyEvent&)> onKeyPress_;
    bool installed_ = true;
};

bool isModifierKey(int key) {
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
        return true;
    default:
        return false;
    }
}

bool isPrintable(const QString& text) {
    if (text.isEmpty()) {
        return false;
    }
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<KeyRecorder::CapturedKey> KeyRecorder::keyFor(const QKeyEvent& event,
                                                            const VirtualKeyCode& virtualKeyCode) {
    if (isModifierKey(event.key())) {
        return std::nullopt;
    }
    const std::uint16_t code = virtualKeyCode ? virtualKeyCode(event.nativeScanCode())
                                              : static_cast<std::uint16_t>(event.nativeScanCode());
    QString text = event.text();
    // With Ctrl held the text is a control character; the key itself names it.
    if (!isPrintable(text) && event.key() > Qt::Key_Space && event.key() < Qt::Key_Escape) {
        const auto key = static_cast<char32_t>(event.key());
        text = QString::fromUcs4(&key, 1);
    }
    if (!isPrintable(text)) {
        return CapturedKey{code, QStringLiteral("Key %1").arg(code)};
    }
    return CapturedKey{code, text.toUpper()};
}

std::optional<KeyRecorder::CapturedKey> KeyRecorder::record(QWidget* parent,
                                                            VirtualKeyCode virtualKeyCode) {
    QDialog alert(parent);
    alert.setObjectName(QStringLiteral("keyRecorder"));
    alert.setWindowTitle(QStringLiteral("Press any key"));
    alert.setModal(true);
    // Wide enough for the title bar to show its title in full.
    alert.setMinimumWidth(340);
    alert.setStyleSheet(QStringLiteral("QDialog { background: #1F1F21; }"));
    auto* column = new QVBoxLayout(&alert);
    column->setSpacing(8);
    QFont messageFont = BrandFonts::figtree(14, BrandFonts::Weight::semibold);
    column->addWidget(
        makeLabel(QStringLiteral("Press any key"), messageFont, QStringLiteral("#E0E0E0")));
    column->addWidget(makeLabel(QStringLiteral("Press the key you want to use as your hotkey."),
                                BrandFonts::figtree(12), QStringLiteral("#E0E0E0")));
    QLabel* waiting = makeLabel(QStringLiteral("Waiting for key press…"), BrandFonts::figtree(13),
                                QStringLiteral("#98989D"));
    waiting->setAlignment(Qt::AlignCenter);
    waiting->setFixedSize(250, 24);
    column->addWidget(waiting, 0, Qt::AlignHCenter);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setStyleSheet(buttonStyle);
    QObject::connect(cancel, &QPushButton::clicked, &alert, &QDialog::reject);
    column->addWidget(cancel, 0, Qt::AlignRight);

    std::optional<CapturedKey> captured;
    KeyPressMonitor monitor([&](const QKeyEvent& event) {
        const bool escape =
            event.key() == Qt::Key_Escape ||
            (virtualKeyCode && virtualKeyCode(event.nativeScanCode()) == keyCodes::escape);
        if (escape) {
            alert.reject(); // Escape never becomes the hotkey
            return true;
        }
        if (captured) {
            return true;
        }
        captured = keyFor(event, virtualKeyCode);
        if (!captured) {
            return false;
        }
        alert.done(QDialog::Accepted);
        return true;
    });
    alert.exec();
    monitor.remove();
    return captured;
}

} // namespace skrib
