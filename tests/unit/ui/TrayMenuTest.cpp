// The tray menu and the update panel it leads to.

#include "ui/TrayMenu.h"

#include "ui/UpdateProgressWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QTest>

namespace skrib {
namespace {

using Action = TrayMenu::Action;

TEST(TrayMenu, OffersStartOrStopColoursTheDotAndPerformsEachItem) {
    const struct { SkribState state; const char* firstItem; QColor dot; } cases[] = {
        {SkribState::idle, "Start Recording", QColor(255, 255, 255, 217)},
        {SkribState::listening, "Stop Recording", QColor(0xFF, 0x9F, 0x0A)},
        {SkribState::processing, "Start Recording", QColor(0x30, 0xD1, 0x58)},
        {SkribState::error, "Start Recording", QColor(0xFF, 0x45, 0x3A)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        const auto items = TrayMenu::items(c.state, std::nullopt, QString());
        EXPECT_EQ(items[0].title.toStdString(), c.firstItem);
        EXPECT_EQ(TrayMenu::dotIcon(c.state).pixmap(20, 20).toImage().pixelColor(10, 10), c.dot);
        QMenu menu;
        QList<Action> performed;
        TrayMenu::fill(menu, items, [&](Action action) { performed << action; });
        for (QAction* action : menu.actions()) {
            action->trigger(); // separators and disabled items do nothing
        }
        EXPECT_EQ(performed, (QList<Action>{Action::toggleRecording, Action::openWindow,
                                            Action::checkForUpdates, Action::quit}));
    }
}

TEST(UpdateProgressWindow, OnlyEscapeCancelsAndTheCancelMayCloseTheWindow) {
    QPointer<UpdateProgressWindow> window = new UpdateProgressWindow(QStringLiteral("1.4.0"));
    int cancels = 0;
    window->onCancel = [&] { ++cancels, delete window.data(); };
    window->show();
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space, Qt::Key_Q}) {
        QTest::keyPress(window, key);
        ASSERT_EQ(cancels, 0) << key;
    }
    QTest::keyPress(window, Qt::Key_Escape);
    EXPECT_EQ(cancels, 1);
    EXPECT_TRUE(window.isNull());
}

} // namespace
} // namespace skrib
