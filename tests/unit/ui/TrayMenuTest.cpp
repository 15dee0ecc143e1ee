// The tray menu and the update panel it leads to.

#include "ui/TrayMenu.h"

#include "ui/UpdateProgressWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>

namespace skrib {
namespace {

using Action = TrayMenu::Action;

struct StateCase {
    SkribState state;
    const char* firstItem;
    QColor dot;
};

class TrayMenuState : public ::testing::TestWithParam<StateCase> {};

TEST_P(TrayMenuState, OffersStartOrStopAndColoursTheDot) {
    const auto items = TrayMenu::items(GetParam().state, std::nullopt, QString());
    EXPECT_EQ(items[0].title.toStdString(), GetParam().firstItem);
    const QImage dot = TrayMenu::dotIcon(GetParam().state).pixmap(20, 20).toImage();
    EXPECT_EQ(dot.pixelColor(10, 10), GetParam().dot);

    QMenu menu;
    QList<Action> performed;
    TrayMenu::fill(menu, items, [&](Action action) { performed << action; });
    for (QAction* action : menu.actions()) {
        action->trigger(); // separators and disabled items do nothing
    }
    EXPECT_EQ(performed, (QList<Action>{Action::toggleRecording, Action::openWindow,
                                        Action::checkForUpdates, Action::quit}));
}

INSTANTIATE_TEST_SUITE_P(
    States, TrayMenuState,
    ::testing::Values(StateCase{SkribState::idle, "Start Recording", QColor(255, 255, 255, 217)},
                      StateCase{SkribState::listening, "Stop Recording", QColor(0xFF, 0x9F, 0x0A)},
                      StateCase{SkribState::processing, "Start Recording",
                                QColor(0x30, 0xD1, 0x58)},
                      StateCase{SkribState::error, "Start Recording", QColor(0xFF, 0x45, 0x3A)}));

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
