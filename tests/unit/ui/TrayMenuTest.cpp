#include "ui/TrayMenu.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>

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
    EXPECT_EQ(items[4].title, QString::fromUtf8("🎤 System Default"));
    const QImage dot = TrayMenu::dotIcon(GetParam().state).pixmap(20, 20).toImage();
    EXPECT_EQ(dot.pixelColor(10, 10), GetParam().dot);
    EXPECT_EQ(dot.pixelColor(1, 1).alpha(), 0);

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

} // namespace
} // namespace skrib
