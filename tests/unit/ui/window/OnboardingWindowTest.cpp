#include "ui/window/OnboardingWindow.h"

#include "app/Notifications.h"
#include "unit/ui/window/WindowFixture.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QPointer>

namespace skrib::testing {
namespace {

int visibleWelcomePanels() {
    int count = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && !visibleLabels(w, "Welcome to Vantu Skrib").isEmpty()) {
            ++count;
        }
    }
    return count;
}

struct Welcome {
    FakeScheduler queue;
    MemoryDefaults defaults;
    NotificationCenter center;
    std::optional<OnboardingWindow> onboarding;
    int settingsRequests = 0;
    Subscription token = center.addObserver(notifications::showHotkeySettings, nullptr,
                                            [this](const Notification&) { ++settingsRequests; });

    Welcome() { onboarding.emplace(OnboardingWindow::Environment{defaults, queue, center}); }

    QWidget* shown() {
        onboarding->showIfNeeded();
        queue.advance(OnboardingWindow::showDelay);
        return onboarding->panel();
    }
    bool completed() const { return defaults.boolValue("hasCompletedOnboarding").value_or(false); }
};

ClickableView* gotIt(QWidget* panel) {
    const auto views = panel->findChildren<ClickableView*>();
    return views.size() == 1 ? views[0] : nullptr;
}

QAbstractButton* customise(QWidget* panel) {
    for (auto* b : panel->findChildren<QAbstractButton*>()) {
        if (b->text() == "Customise hotkey →") {
            return b;
        }
    }
    return nullptr;
}

// MARK: - When it shows

struct FlagCase {
    const char* name;
    std::optional<DefaultsValue> stored;
    bool shows;
};

class StoredFlag : public ::testing::TestWithParam<FlagCase> {};

TEST_P(StoredFlag, DecidesWhetherThePanelAppearsAfterEightTenthsOfASecond) {
    Welcome w;
    if (GetParam().stored) {
        w.defaults.set(OnboardingWindow::defaultsKey, *GetParam().stored);
    }
    w.onboarding->showIfNeeded();
    w.queue.advance(0.79);
    EXPECT_EQ(w.onboarding->panel(), nullptr);
    w.queue.advance(0.02);
    EXPECT_EQ(w.onboarding->panel() != nullptr, GetParam().shows);
    w.queue.advance(5);
    EXPECT_EQ(visibleWelcomePanels(), GetParam().shows ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, StoredFlag,
    ::testing::Values(FlagCase{"absent", std::nullopt, true},
                      FlagCase{"false", DefaultsValue(false), true},
                      FlagCase{"true", DefaultsValue(true), false},
                      FlagCase{"trueAsText", DefaultsValue(std::string("true")), false},
                      FlagCase{"notABoolean", DefaultsValue(std::string("maybe")), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Onboarding, ReleasedBeforeTheDelayShowsNothing) {
    Welcome w;
    w.onboarding->showIfNeeded();
    w.queue.advance(0.5);
    w.onboarding.reset();
    w.queue.advance(1.0);
    EXPECT_EQ(visibleWelcomePanels(), 0);
}

struct HotkeyLineCase {
    const char* name;
    const char* stored;
    const char* line;
};

class HotkeyLine : public ::testing::TestWithParam<HotkeyLineCase> {};

TEST_P(HotkeyLine, NamesTheStoredHotkeyInGreen) {
    Welcome w;
    w.defaults.set("hotkeyOption", GetParam().stored);
    w.defaults.set("customHotkeyName", "F13");
    QWidget* panel = w.shown();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->size(), QSize(420, 340));
    const auto lines = visibleLabels(panel, QString::fromUtf8(GetParam().line));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(textColor(lines[0]), QColor(0x4A, 0xDE, 0x80));
    EXPECT_EQ(visibleLabels(panel, "Welcome to Vantu Skrib").size(), 1);
    EXPECT_EQ(visibleLabels(panel, "Got it").size(), 1);
    const auto body =
        visibleLabels(panel, "Your words will be transcribed and pasted\nwherever your cursor is.");
    ASSERT_EQ(body.size(), 1);
    panel->layout()->activate();
    EXPECT_GE(body[0]->height(), body[0]->heightForWidth(body[0]->width())); // nothing cut off
}

INSTANTIATE_TEST_SUITE_P(
    Hotkeys, HotkeyLine,
    ::testing::Values(HotkeyLineCase{"default", "", "Press Right Ctrl to start speaking"},
                      HotkeyLineCase{"fn", "fn", "Press Fn to start speaking"},
                      HotkeyLineCase{"custom", "custom", "Press F13 to start speaking"}),
    [](const auto& info) { return std::string(info.param.name); });

// MARK: - Ways out

TEST(Onboarding, PressDragOutAndReleaseCancelsTheClick) {
    Welcome w;
    QWidget* panel = w.shown();
    ASSERT_NE(panel, nullptr);
    ClickableView* button = gotIt(panel);
    ASSERT_NE(button, nullptr);

    sendPress(button, button->rect().center());
    EXPECT_DOUBLE_EQ(button->parentOpacity(), 0.8);
    sendRelease(button, QPoint(button->width() + 20, -10));
    EXPECT_DOUBLE_EQ(button->parentOpacity(), 1.0);
    EXPECT_FALSE(w.completed());
    EXPECT_EQ(w.onboarding->panel(), panel);
    EXPECT_TRUE(panel->isVisible());
}

TEST(Onboarding, GotItStoresTheFlagAndCloses) {
    Welcome w;
    QPointer<QWidget> panel = w.shown();
    ASSERT_NE(panel, nullptr);
    click(gotIt(panel));
    EXPECT_TRUE(w.completed());
    EXPECT_EQ(w.onboarding->panel(), nullptr);
    EXPECT_TRUE(panel.isNull() || !panel->isVisible());
    w.queue.advance(1.0);
    EXPECT_TRUE(panel.isNull());
    EXPECT_EQ(w.settingsRequests, 0);

    // The next launch shows nothing.
    OnboardingWindow next({w.defaults, w.queue, w.center});
    next.showIfNeeded();
    w.queue.advance(1.0);
    EXPECT_EQ(next.panel(), nullptr);
}

TEST(Onboarding, CustomiseStoresClosesAndAsksForHotkeySettingsLater) {
    Welcome w;
    QPointer<QWidget> panel = w.shown();
    ASSERT_NE(panel, nullptr);
    QAbstractButton* button = customise(panel);
    ASSERT_NE(button, nullptr);
    button->click();
    EXPECT_TRUE(w.completed());
    EXPECT_EQ(w.onboarding->panel(), nullptr);
    EXPECT_TRUE(panel.isNull() || !panel->isVisible());
    w.queue.advance(0.19);
    EXPECT_EQ(w.settingsRequests, 0);
    w.queue.advance(0.02);
    EXPECT_EQ(w.settingsRequests, 1);
}

TEST(ClickableView, RunsItsActionOnlyForAReleaseInside) {
    QWidget parent;
    parent.resize(100, 40);
    int runs = 0;
    auto* view = new ClickableView([&] { ++runs; }, &parent);
    view->setGeometry(parent.rect());
    const struct {
        QPoint release;
        int runs;
    } cases[] = {{{50, 20}, 1},  {{0, 0}, 2},   {{99, 39}, 3},
                 {{100, 20}, 3}, {{-1, 20}, 3}, {{50, 40}, 3}};
    for (const auto& c : cases) {
        sendPress(view, {50, 20});
        sendRelease(view, c.release);
        EXPECT_EQ(runs, c.runs) << c.release.x() << "," << c.release.y();
        EXPECT_DOUBLE_EQ(view->parentOpacity(), 1.0);
    }
}

TEST(WelcomePanel, HairlineEdgeSetsItApartFromTheWindowBelow) {
    Welcome w;
    QWidget* panel = w.shown();
    ASSERT_NE(panel, nullptr);
    const QImage image = panel->grab().toImage();
    ASSERT_EQ(image.size(), QSize(420, 340) * image.devicePixelRatio());
    const QColor background(0x1A, 0x1A, 0x1C);
    const int w1 = image.width() - 1, h1 = image.height() - 1;
    for (const QPoint edge :
         {QPoint(0, h1 / 2), QPoint(w1, h1 / 2), QPoint(w1 / 2, 0), QPoint(w1 / 2, h1)}) {
        EXPECT_EQ(image.pixelColor(edge).name(), OnboardingWindow::edgeColor().name())
            << edge.x() << "," << edge.y();
    }
    EXPECT_NE(OnboardingWindow::edgeColor(), background);
    // Just inside the edge the panel is its plain background again.
    EXPECT_EQ(image.pixelColor(4, h1 / 2).name(), background.name());
}

} // namespace
} // namespace skrib::testing
