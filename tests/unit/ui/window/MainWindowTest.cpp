#include "ui/window/MainWindow.h"

#include "app/Notifications.h"
#include "input/HotkeyOption.h"
#include "ui/window/OnboardingWindow.h"
#include "ui/window/TranscriptView.h"
#include "unit/ui/window/WindowFixture.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>

namespace skrib::testing {
namespace {

const QColor transparent(0, 0, 0, 0);

QColor white(double alpha) {
    QColor c(Qt::white);
    c.setAlphaF(static_cast<float>(alpha));
    return c;
}

struct Window {
    FakeScheduler queue;
    MemoryDefaults defaults;
    NotificationCenter center;
    AppState appState;
    FakeService service;
    std::vector<QUrl> opened;
    int updateChecks = 0;
    QPointer<QWidget> settingsPage;
    std::optional<MainWindowController> controller;

    explicit Window(QString version = QStringLiteral("1.4.2"),
                    std::optional<std::string> storedHotkey = std::nullopt) {
        if (storedHotkey) {
            defaults.set("hotkeyOption", storedHotkey->c_str());
        }
        controller.emplace(MainView::Environment{
            defaults, queue, center, appState, [this] { return service.client(); },
            [this] { ++updateChecks; }, [this](const QUrl& url) { opened.push_back(url); },
            std::move(version), QStringLiteral("https://vantuskrib.example/download"),
            QStringLiteral("vantuskrib.example"), QStringLiteral("help@vantuskrib.example"),
            [this](QWidget* parent) {
                settingsPage = new QLabel(QStringLiteral("settings page"), parent);
                return settingsPage.data();
            }});
        controller->showAndFocus();
    }

    MainView& view() { return *controller->mainView(); }
    QString state() { return view().stateLabel()->text(); }
    // Which pages are visible and which buttons are highlighted, as "HSA" letters.
    std::string visiblePages() {
        std::string out;
        for (int i = 0; i < 3; ++i) {
            out += view().contentViews()[i]->isVisible() ? "HSA"[i] : '-';
        }
        return out;
    }
    std::string activeButtons() {
        std::string out;
        for (int i = 0; i < 3; ++i) {
            out += view().sidebarButtons()[i]->isActiveState() ? "HSA"[i] : '-';
        }
        return out;
    }
    QAbstractButton* buttonTitled(const QString& title) {
        for (auto* button : view().findChildren<QAbstractButton*>()) {
            if (button->text() == title) {
                return button;
            }
        }
        return nullptr;
    }
};

// MARK: - A fresh window

struct HotkeyHintCase {
    const char* name;
    std::optional<std::string> stored;
    const char* hint;
};

class FreshWindow : public ::testing::TestWithParam<HotkeyHintCase> {};

TEST_P(FreshWindow, ShowsHomeReadyInGreyAndTheStoredHotkey) {
    Window w(QStringLiteral("1.4.2"), GetParam().stored);
    EXPECT_EQ(w.view().currentTab(), 0);
    EXPECT_EQ(w.visiblePages(), "H--");
    EXPECT_EQ(w.activeButtons(), "H--");
    EXPECT_EQ(w.state(), "Ready");
    EXPECT_EQ(textColor(w.view().stateLabel()), QColor(0x55, 0x55, 0x55));
    EXPECT_EQ(w.view().hintLabel()->text().toStdString(), GetParam().hint);
    EXPECT_EQ(w.view().micLabel()->text(), "System Default");
}

INSTANTIATE_TEST_SUITE_P(
    Hotkeys, FreshWindow,
    ::testing::Values(
        HotkeyHintCase{"nothingStored", std::nullopt, "Right Ctrl to toggle  ·  Esc to cancel"},
        HotkeyHintCase{"leftAlt", "leftOption", "Left Alt to toggle  ·  Esc to cancel"},
        HotkeyHintCase{"unknownRaw", "rightShift", "Right Ctrl to toggle  ·  Esc to cancel"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MainWindow, IsTitledAndCannotBeMadeSmallerThanItsMinimum) {
    Window w;
    QWidget* window = w.controller->window();
    EXPECT_EQ(window->windowTitle(), "Vantu Skrib");
    EXPECT_EQ(window->size(), QSize(640, 480));
    window->resize(200, 100);
    EXPECT_EQ(window->size(), QSize(500, 380));
    window->resize(499, 1000);
    EXPECT_EQ(window->width(), 500);
}

// MARK: - Tabs

class Tabs : public ::testing::TestWithParam<int> {};

TEST_P(Tabs, ClickingAButtonShowsOnlyItsPageAndHighlightsOnlyIt) {
    Window w;
    const int tab = GetParam();
    // Start from a different tab so that nothing passes by staying put.
    w.view().selectTab((tab + 1) % 3);
    click(w.view().sidebarButtons()[tab]);

    std::string expected = "---";
    expected[static_cast<std::size_t>(tab)] = "HSA"[tab];
    EXPECT_EQ(w.view().currentTab(), tab);
    EXPECT_EQ(w.visiblePages(), expected);
    EXPECT_EQ(w.activeButtons(), expected);
    for (int i = 0; i < 3; ++i) {
        SidebarButton* b = w.view().sidebarButtons()[i];
        const bool active = i == tab;
        EXPECT_EQ(b->backgroundColor(), active ? white(0.08) : transparent) << i;
        EXPECT_EQ(b->iconTint(), active ? QColor(0xE0, 0xE0, 0xE0) : QColor(0x6E, 0x6E, 0x73)) << i;
        EXPECT_EQ(textColor(b->textLabel()),
                  active ? QColor(0xF0, 0xF0, 0xF0) : QColor(0x98, 0x98, 0x9D))
            << i;
        EXPECT_EQ(b->textLabel()->font().weight(), active ? QFont::Medium : QFont::Normal) << i;
    }
}

TEST_P(Tabs, HoverLightsOnlyInactiveButtons) {
    Window w;
    w.view().selectTab(GetParam());
    for (int i = 0; i < 3; ++i) {
        SidebarButton* b = w.view().sidebarButtons()[i];
        const QColor before = b->backgroundColor();
        sendEnter(b);
        EXPECT_EQ(b->backgroundColor(), i == GetParam() ? before : white(0.04)) << i;
        sendLeave(b);
        EXPECT_EQ(b->backgroundColor(), before) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(EachTab, Tabs, ::testing::Values(0, 1, 2));

TEST(MainWindow, SettingsPageComesFromTheFactoryAndSitsOnTheSecondTab) {
    Window w;
    ASSERT_NE(w.settingsPage, nullptr);
    EXPECT_EQ(w.view().settingsView(), w.settingsPage.data());
    EXPECT_FALSE(w.settingsPage->isVisible());
    w.view().selectTab(1);
    EXPECT_TRUE(w.settingsPage->isVisible());
}

TEST(MainWindow, HotkeySettingsRequestSwitchesToSettingsOnTheMainQueue) {
    Window w;
    w.view().selectTab(2);
    w.center.post(notifications::showHotkeySettings);
    EXPECT_EQ(w.view().currentTab(), 2);
    w.queue.runUntilIdle();
    EXPECT_EQ(w.view().currentTab(), 1);
    EXPECT_EQ(w.visiblePages(), "-S-");
    EXPECT_EQ(w.activeButtons(), "-S-");
}

TEST(MainWindow, CustomiseOnTheWelcomePanelOpensSettingsAFifthOfASecondLater) {
    Window w;
    OnboardingWindow onboarding({w.defaults, w.queue, w.center});
    onboarding.showIfNeeded();
    w.queue.advance(OnboardingWindow::showDelay);
    ASSERT_NE(onboarding.panel(), nullptr);
    QAbstractButton* customise = nullptr;
    for (auto* b : onboarding.panel()->findChildren<QAbstractButton*>()) {
        if (b->text() == "Customise hotkey →") {
            customise = b;
        }
    }
    ASSERT_NE(customise, nullptr);
    click(customise);
    w.queue.advance(0.19);
    EXPECT_EQ(w.view().currentTab(), 0);
    w.queue.advance(0.02);
    EXPECT_EQ(w.view().currentTab(), 1);
}

// MARK: - Status

struct StateCase {
    SkribState state;
    const char* text;
    QColor color;
};

class StatusLabel : public ::testing::TestWithParam<StateCase> {};

TEST_P(StatusLabel, FollowsTheDictationState) {
    Window w;
    // Come from another state, so the label really changes.
    w.appState.state.set(GetParam().state == SkribState::error ? SkribState::listening
                                                               : SkribState::error);
    w.queue.runUntilIdle();
    w.appState.state.set(GetParam().state);
    w.queue.runUntilIdle();
    EXPECT_EQ(w.state().toStdString(), GetParam().text);
    EXPECT_EQ(textColor(w.view().stateLabel()), GetParam().color);
}

INSTANTIATE_TEST_SUITE_P(
    States, StatusLabel,
    ::testing::Values(StateCase{SkribState::idle, "Ready", QColor(0x55, 0x55, 0x55)},
                      StateCase{SkribState::listening, "● Recording", QColor(0x4A, 0xDE, 0x80)},
                      StateCase{SkribState::processing, "Processing…", QColor(0x4A, 0xDE, 0x80)},
                      StateCase{SkribState::error, "Error", QColor(0xFF, 0x45, 0x3A)}));

TEST(MainWindow, StateChangedWhileClosedIsShownOnReopen) {
    Window w;
    w.controller->window()->close();
    w.appState.state.set(SkribState::listening);
    w.queue.runUntilIdle();
    w.controller->showAndFocus();
    EXPECT_TRUE(w.controller->window()->isVisible());
    EXPECT_EQ(w.state(), "● Recording");
}

TEST(MainWindow, StateSetOnAnotherThreadReachesTheLabelThroughTheMainQueue) {
    Window w;
    std::thread([&] { w.appState.state.set(SkribState::processing); }).join();
    EXPECT_EQ(w.state(), "Ready");
    w.queue.runUntilIdle();
    EXPECT_EQ(w.state(), "Processing…");
}

// MARK: - Hotkey hint

struct HotkeyChangeCase {
    const char* name;
    std::any object;
    const char* hint;
};

class HotkeyChanged : public ::testing::TestWithParam<HotkeyChangeCase> {};

TEST_P(HotkeyChanged, UpdatesTheHintOnlyForAHotkeyOption) {
    Window w;
    w.defaults.set("customHotkeyName", "F13");
    w.center.post(notifications::hotkeyChanged, GetParam().object);
    w.queue.runUntilIdle();
    EXPECT_EQ(w.view().hintLabel()->text().toStdString(), GetParam().hint);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, HotkeyChanged,
    ::testing::Values(HotkeyChangeCase{"option", HotkeyOption(HotkeyOption::Case::leftControl),
                                       "Left Ctrl to toggle  ·  Esc to cancel"},
                      HotkeyChangeCase{"customKey", HotkeyOption(HotkeyOption::Case::custom),
                                       "F13 to toggle  ·  Esc to cancel"},
                      HotkeyChangeCase{"noObject", std::any(),
                                       "Right Ctrl to toggle  ·  Esc to cancel"},
                      HotkeyChangeCase{"rawValueText", std::string("leftControl"),
                                       "Right Ctrl to toggle  ·  Esc to cancel"},
                      HotkeyChangeCase{"number", 5, "Right Ctrl to toggle  ·  Esc to cancel"}),
    [](const auto& info) { return std::string(info.param.name); });

// MARK: - Microphone

struct MicCase {
    const char* name;
    std::optional<std::string> mic;
    const char* label;
};

class MicLabel : public ::testing::TestWithParam<MicCase> {};

TEST_P(MicLabel, ShowsTheCurrentMicrophoneWhenNotified) {
    Window w;
    w.appState.currentMicName.set("Something Else");
    w.center.post(notifications::micNameChanged);
    w.appState.currentMicName.set(GetParam().mic);
    w.center.post(notifications::micNameChanged);
    EXPECT_EQ(w.view().micLabel()->text().toStdString(), GetParam().label);
}

TEST_P(MicLabel, ShowsTheMicrophoneKnownWhenTheWindowIsBuilt) {
    FakeScheduler queue;
    MemoryDefaults defaults;
    NotificationCenter center;
    AppState appState;
    appState.currentMicName.set(GetParam().mic);
    MainView view({defaults, queue, center, appState, {}, {}, {}, {}, {}, {}, {}, {}});
    EXPECT_EQ(view.micLabel()->text().toStdString(), GetParam().label);
}

INSTANTIATE_TEST_SUITE_P(Names, MicLabel,
                         ::testing::Values(MicCase{"named", "USB Headset", "USB Headset"},
                                           MicCase{"fallback", "Built-in Audio (fallback)",
                                                   "Built-in Audio (fallback)"},
                                           MicCase{"none", std::nullopt, "System Default"},
                                           MicCase{"empty", std::string(), "System Default"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MainWindow, MicrophoneNoticeFromAnotherThreadIsHandedToTheMainQueue) {
    Window w;
    w.appState.currentMicName.set("USB Headset");
    std::thread([&] { w.center.post(notifications::micNameChanged); }).join();
    w.queue.runUntilIdle();
    EXPECT_EQ(w.view().micLabel()->text(), "USB Headset");
}

// MARK: - About

TEST(AboutPage, ShowsEveryLineAndOpensItsLinks) {
    Window w;
    w.view().selectTab(2);
    QWidget* about = w.view().aboutView();
    for (const char* text : {"Vantu Skrib", "Version 1.4.2", "Voice to text, instantly.", "Support",
                             "Built by Nembra Works"}) {
        EXPECT_FALSE(visibleLabels(about, QString::fromUtf8(text)).isEmpty()) << text;
    }
    QAbstractButton* website = w.buttonTitled("vantuskrib.example");
    QAbstractButton* email = w.buttonTitled("help@vantuskrib.example");
    QAbstractButton* update = w.buttonTitled("Check for Updates");
    ASSERT_TRUE(website && email && update);
    EXPECT_TRUE(website->font().underline());
    website->click();
    email->click();
    ASSERT_EQ(w.opened.size(), 2u);
    EXPECT_EQ(w.opened[0], QUrl("https://vantuskrib.example/download"));
    EXPECT_EQ(w.opened[1], QUrl("mailto:help@vantuskrib.example"));
    EXPECT_EQ(w.updateChecks, 0);
    update->click();
    EXPECT_EQ(w.updateChecks, 1);
}

TEST(AboutPage, MissingVersionShowsAQuestionMark) {
    Window w{QString()};
    w.view().selectTab(2);
    EXPECT_EQ(visibleLabels(w.view().aboutView(), "Version ?").size(), 1);
}

// MARK: - History on the Home page

TEST(MainWindow, PushedTranscriptAppearsAsTheNewestRow) {
    Window w;
    ASSERT_TRUE(w.service.answerHistory(200, FakeService::historyBody(FakeService::records(3))));
    w.queue.runUntilIdle();
    std::thread([&] { w.view().pushTranscript(QStringLiteral("just said")); }).join();
    w.queue.runUntilIdle();
    const auto rows = w.view().transcriptView()->entryViews();
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(rows.last()->entryText(), "just said");
    EXPECT_TRUE(rows.last()->isVisible());
}

// MARK: - Dark controls

TEST(AboutPage, UpdateButtonIsDarkWhateverTheDesktopTheme) {
    Window w;
    w.view().selectTab(2);
    QAbstractButton* update = w.buttonTitled("Check for Updates");
    ASSERT_NE(update, nullptr);
    const QImage image = update->grab().toImage();
    ASSERT_FALSE(image.isNull());
    // Inside the left padding, clear of the title: the button's own fill.
    const QColor fill = image.pixelColor(6, image.height() / 2);
    EXPECT_LT(fill.lightness(), 80) << fill.name().toStdString();
    // The title stands out light on it.
    int lightest = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            lightest = std::max(lightest, image.pixelColor(x, y).lightness());
        }
    }
    EXPECT_GT(lightest, 180);
}

} // namespace
} // namespace skrib::testing
