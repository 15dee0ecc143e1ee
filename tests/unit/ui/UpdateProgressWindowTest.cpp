#include "ui/UpdateProgressWindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>

namespace skrib {
namespace {

void press(QWidget* window, Qt::Key key) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(window, &event);
}

TEST(UpdateProgressWindow, OnlyEscapeCancelsAndTheCancelMayCloseTheWindow) {
    QPointer<UpdateProgressWindow> window = new UpdateProgressWindow(QStringLiteral("1.4.0"));
    int cancels = 0;
    window->onCancel = [&] {
        ++cancels;
        delete window.data();
    };
    window->show();
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space, Qt::Key_Q}) {
        press(window, key);
    }
    EXPECT_EQ(cancels, 0);
    press(window, Qt::Key_Escape);
    EXPECT_EQ(cancels, 1);
    EXPECT_TRUE(window.isNull());
}

} // namespace
} // namespace skrib
