#include "ui/UpdateProgressWindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>

namespace skrib {
namespace {

QStringList texts(const QWidget& window) {
    QStringList out;
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        out << label->text();
    }
    return out;
}

void press(QWidget& window, Qt::Key key) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&window, &event);
}

TEST(UpdateProgressWindow, ShowsTheVersionAndFollowsTheStatus) {
    UpdateProgressWindow window(QStringLiteral("1.4.0"));
    EXPECT_EQ(window.size(), QSize(320, 150));
    EXPECT_TRUE(texts(window).contains(QStringLiteral("Updating to 1.4.0")));
    EXPECT_TRUE(texts(window).contains(QStringLiteral("Downloading update...")));

    window.updateStatus("Installing...");
    EXPECT_TRUE(texts(window).contains(QStringLiteral("Installing...")));
    EXPECT_FALSE(texts(window).contains(QStringLiteral("Downloading update...")));
}

TEST(UpdateProgressWindow, EscapeCancelsAndOtherKeysDoNot) {
    UpdateProgressWindow window(QStringLiteral("1.4.0"));
    int cancels = 0;
    window.onCancel = [&] { ++cancels; };
    window.show();
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space, Qt::Key_Q}) {
        press(window, key);
    }
    EXPECT_EQ(cancels, 0);
    press(window, Qt::Key_Escape);
    EXPECT_EQ(cancels, 1);
}

TEST(UpdateProgressWindow, EscapeMayDestroyTheWindow) {
    auto* window = new UpdateProgressWindow(QStringLiteral("2.0.0"));
    bool destroyed = false;
    QObject::connect(window, &QObject::destroyed, [&] { destroyed = true; });
    window->onCancel = [window] { delete window; };
    window->show();
    press(*window, Qt::Key_Escape);
    EXPECT_TRUE(destroyed);
}

} // namespace
} // namespace skrib
