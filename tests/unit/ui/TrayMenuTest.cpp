#include "ui/TrayMenu.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>

namespace skrib {
namespace {

using Action = TrayMenu::Action;

QStringList titles(const QList<TrayMenu::Item>& items) {
    QStringList out;
    for (const auto& item : items) {
        out << (item.action == Action::separator ? QStringLiteral("—") : item.title);
    }
    return out;
}

struct StateCase {
    SkribState state;
    const char* recordingTitle;
};

class TrayMenuState : public ::testing::TestWithParam<StateCase> {};

TEST_P(TrayMenuState, ListsEveryItemInOrderWithOnlyTheRecordingTitleFollowingTheState) {
    const auto items = TrayMenu::items(GetParam().state, std::string("USB Microphone"), "1.2.0");
    EXPECT_EQ(titles(items),
              (QStringList{QString::fromUtf8(GetParam().recordingTitle), "—", "Open Window", "—",
                           QString::fromUtf8("🎤 USB Microphone"), "—", "Version 1.2.0",
                           QString::fromUtf8("Check for Updates…"), "—", "Quit"}));
    QList<bool> enabled;
    for (const auto& item : items) {
        if (item.action != Action::separator) {
            enabled << item.enabled;
        }
    }
    EXPECT_EQ(enabled, (QList<bool>{true, true, false, false, true, true}));
    EXPECT_EQ(items[2].shortcut, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(items.last().shortcut, QKeySequence(Qt::CTRL | Qt::Key_Q));
}

INSTANTIATE_TEST_SUITE_P(States, TrayMenuState,
                         ::testing::Values(StateCase{SkribState::idle, "Start Recording"},
                                           StateCase{SkribState::listening, "Stop Recording"},
                                           StateCase{SkribState::processing, "Start Recording"},
                                           StateCase{SkribState::error, "Start Recording"}));

TEST(TrayMenu, MissingMicrophoneAndVersionHaveStandIns) {
    const auto items = TrayMenu::items(SkribState::idle, std::nullopt, QString());
    EXPECT_EQ(items[4].title, QString::fromUtf8("🎤 System Default"));
    EXPECT_EQ(items[6].title, QStringLiteral("Version ?"));
}

TEST(TrayMenu, EachEnabledEntryPerformsItsOwnAction) {
    QMenu menu;
    QList<Action> performed;
    TrayMenu::fill(menu, TrayMenu::items(SkribState::idle, std::nullopt, "1.0.0"),
                   [&](Action action) { performed << action; });
    for (QAction* action : menu.actions()) {
        if (!action->isSeparator()) {
            action->trigger(); // a disabled action ignores the trigger
        }
    }
    EXPECT_EQ(performed, (QList<Action>{Action::toggleRecording, Action::openWindow,
                                        Action::checkForUpdates, Action::quit}));
    EXPECT_EQ(menu.actions().size(), 10);
}

TEST(TrayMenu, TheDotIsATenPointCircleInTheStateColour) {
    for (const auto& [state, rgb] :
         {std::pair{SkribState::listening, QColor(0xFF, 0x9F, 0x0A)},
          std::pair{SkribState::processing, QColor(0x30, 0xD1, 0x58)},
          std::pair{SkribState::error, QColor(0xFF, 0x45, 0x3A)}}) {
        const QImage image = TrayMenu::dotIcon(state).pixmap(20, 20).toImage();
        ASSERT_EQ(image.size(), QSize(20, 20));
        EXPECT_EQ(image.pixelColor(10, 10).rgb(), rgb.rgb());
        EXPECT_EQ(image.pixelColor(2, 2).alpha(), 0);   // outside the circle
        EXPECT_EQ(image.pixelColor(16, 10).alpha(), 0); // 10 wide, centred
        EXPECT_GT(image.pixelColor(14, 10).alpha(), 0);
    }
    const QColor idle = TrayMenu::dotIcon(SkribState::idle).pixmap(20, 20).toImage().pixelColor(10, 10);
    EXPECT_EQ(idle.alpha(), 217); // white at 85 %
    EXPECT_EQ(QColor(idle.red(), idle.green(), idle.blue()), QColor(Qt::white));
}

} // namespace
} // namespace skrib
