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
    const struct { SkribState state; std::size_t kept; const char* first, *second; QColor dot; }
        cases[] = {
        {SkribState::idle, 0, "Start Recording", "", QColor(255, 255, 255, 217)},
        {SkribState::listening, 3, "Stop Recording", "Retry Failed Dictations (3)", QColor(0xFF, 0x9F, 0x0A)},
        {SkribState::processing, 0, "Start Recording", "", QColor(0x30, 0xD1, 0x58)},
        {SkribState::error, 1, "Start Recording", "Retry Failed Dictations (1)", QColor(0xFF, 0x45, 0x3A)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        const auto items = TrayMenu::items(c.state, std::nullopt, QString(), c.kept);
        EXPECT_EQ(items[0].title.toStdString(), c.first);
        EXPECT_EQ(items[1].title.toStdString(), c.second); // a separator when nothing is kept
        EXPECT_EQ(TrayMenu::dotIcon(c.state).pixmap(20, 20).toImage().pixelColor(10, 10), c.dot);
        QMenu menu;
        QList<Action> performed;
        TrayMenu::fill(menu, items, [&](Action action) { performed << action; });
        for (QAction* action : menu.actions()) {
            action->trigger(); // separators and disabled items do nothing
        }
        EXPECT_EQ(performed.indexOf(Action::retryKept), c.kept ? 1 : -1);
        performed.removeAll(Action::retryKept);
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
