// The main window, its history list and the welcome panel, on virtual time over a fake HTTP stack.

#include "FakeHttp.h"
#include "FakeScheduler.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "state/Notifications.h"
#include "platform/NotificationCenter.h"
#include "service/RefineClient.h"
#include "ui/window/MainWindow.h"
#include "ui/window/OnboardingWindow.h"
#include "ui/window/TranscriptView.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QToolButton>

namespace skrib::testing {
namespace {

std::string history(const std::vector<std::pair<std::string, std::string>>& texts) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [text, createdAt] : texts) {
        list.push_back(
            {{"id", list.size() + 1}, {"raw", ""}, {"refined", text}, {"created_at", createdAt}});
    }
    return nlohmann::json{{"transcripts", list}, {"has_more", false}}.dump();
}

/// `count` transcripts "t0", "t1", … a minute apart.
std::string history(int count) {
    std::vector<std::pair<std::string, std::string>> texts;
    for (int i = 0; i < count; ++i) {
        const auto at = QDateTime::fromSecsSinceEpoch(1735804800 + 60 * i, QTimeZone::utc());
        texts.emplace_back("t" + std::to_string(i), at.toString(Qt::ISODate).toStdString());
    }
    return history(texts);
}

std::vector<std::string> rows(const TranscriptView* view) {
    std::vector<std::string> out;
    for (auto* row : view->entryViews()) {
        out.push_back(row->entryText().toStdString());
    }
    return out;
}

/// A press at the centre of `widget` and a release at `releaseAt` (default: the centre).
void click(QWidget* widget, std::optional<QPoint> releaseAt = std::nullopt) {
    const QPointF centre = widget->rect().center();
    QMouseEvent press(QEvent::MouseButtonPress, centre, widget->mapToGlobal(centre), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    const QPointF at = releaseAt.value_or(centre.toPoint());
    QMouseEvent release(QEvent::MouseButtonRelease, at, widget->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

// The parts every window uses: the main queue, defaults, notifications and the service client.
struct Main {
    LogCapture log;
    QTemporaryDir home;
    FakeHttpClient http;
    MemorySecretStore secrets;
    MemoryDefaults defaults;
    FakeScheduler queue;
    NotificationCenter center;
    RefineClient client{{http, secrets, defaults, "http://127.0.0.1:8787",
                         home.path().toStdString(), "Workstation", "6.1.0"}};

    void answer(int status, const std::string& body) {
        const auto sent = http.sent();
        for (std::size_t i = 0; i < sent.size(); ++i) {
            if (sent[i].request.url.ends_with("/transcripts?limit=50") && !sent[i].answered) {
                http.respond(i, status, body);
                return queue.runUntilIdle();
            }
        }
        ADD_FAILURE() << "no history request";
    }
};

// --- The main window ---

struct Window : Main {
    AppState appState;
    MainWindowController controller{MainView::Environment{
        defaults, queue, center, appState, [this] { return &client; }, [] {}, [](const QUrl&) {},
        QStringLiteral("1.4.2"), QStringLiteral("https://vantuskrib.example/download"),
        QStringLiteral("vantuskrib.example"), QStringLiteral("help@vantuskrib.example"),
        [](QWidget* parent) { return new QLabel(QStringLiteral("settings page"), parent); }}};

    Window() { controller.showAndFocus(); }
    MainView& view() { return *controller.mainView(); }
    TranscriptView* list() { return view().transcriptView(); }
    bool showsEmptyPanel() {
        return !list()->onboardingContainer()->isHidden() && list()->scrollView()->isHidden();
    }
    // Which pages are visible, as "HSA" letters.
    std::string visiblePages() {
        std::string out;
        for (int i = 0; i < 3; ++i) {
            out += view().contentViews()[i]->isVisible() ? "HSA"[i] : '-';
        }
        return out;
    }
};

TEST(MainWindow, EachSidebarButtonShowsOnlyItsPage) {
    Window w;
    EXPECT_EQ(w.visiblePages(), "H--");
    const char* const shown[] = {"H--", "-S-", "--A"};
    for (const int tab : {2, 1, 0}) {
        w.view().sidebarButtons()[tab]->click();
        EXPECT_EQ(w.visiblePages(), shown[tab]);
    }
    w.center.post(notifications::showHotkeySettings);
    w.queue.runUntilIdle();
    EXPECT_EQ(w.visiblePages(), "-S-") << "asked for the hotkey settings";
}

TEST(MainWindow, StateAndTranscriptsFromOtherThreadsArriveThroughTheMainQueue) {
    Window w;
    w.answer(200, history(3));
    std::thread([&] {
        w.appState.state.set(SkribState::processing);
        w.view().pushTranscript(QStringLiteral("just said"));
    }).join();
    EXPECT_EQ(w.view().stateLabel()->text(), "Ready") << "not from the other thread";
    w.queue.runUntilIdle();
    EXPECT_EQ(w.view().stateLabel()->text(), "Processing…");
    EXPECT_EQ(rows(w.list()), (std::vector<std::string>{"t0", "t1", "t2", "just said"}));
}

// --- The history list ---

struct FetchCase {
    const char* name;
    int status;
    std::string body;
    std::size_t rows;
    const char* firstRow;
    const char* older;
};

class Fetch : public ::testing::TestWithParam<FetchCase> {};

TEST_P(Fetch, ShowsTheNewestThirtyOrTheEmptyPanel) {
    Window h;
    EXPECT_TRUE(h.showsEmptyPanel());
    h.answer(GetParam().status, GetParam().body);
    const auto shown = rows(h.list());
    ASSERT_EQ(shown.size(), GetParam().rows);
    EXPECT_EQ(h.showsEmptyPanel(), shown.empty());
    if (!shown.empty()) {
        EXPECT_EQ(shown.front(), GetParam().firstRow);
        EXPECT_EQ(h.list()->olderLabel() ? h.list()->olderLabel()->text().toStdString() : "",
                  GetParam().older);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Fetch,
    ::testing::Values(FetchCase{"ServerError", 500, R"({"error":"boom"})", 0, "", ""},
                      FetchCase{"OnlyEmptyTexts", 200, history({{"", "x"}}), 0, "", ""},
                      FetchCase{"ThirtyOne", 200, history(31), 30, "t1", "1 older transcript"},
                      FetchCase{"Many", 200, history(150), 30, "t120", "70 older transcripts"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TranscriptView, EntryAddedDuringTheFetchIsSortedInByTime) {
    Window h;
    std::thread([&] { h.list()->addEntry(QStringLiteral("live")); }).join();
    h.queue.runUntilIdle();
    EXPECT_EQ(rows(h.list()), std::vector<std::string>{"live"});
    h.answer(200, history({{"before", "2025-01-02T03:04:05.5Z"},
                           {"after", "2030-01-01T00:00:00Z"},
                           {"earlier", "2025-01-02T04:04:05+01:00"}}));
    EXPECT_EQ(rows(h.list()), (std::vector<std::string>{"earlier", "before", "live", "after"}));
}

TEST(TranscriptView, AnAnswerAfterTheViewIsGoneIsIgnored) {
    Window h;
    delete h.list();
    h.answer(200, history(3));
}

TEST(TranscriptEntry, CopyPutsTheFullTextOnTheClipboardAndConfirmsForASecond) {
    Window h;
    h.answer(200, history({{"First line,\nand a second.", "2025-01-02T03:04:05Z"}}));
    QToolButton* copy = h.list()->entryViews().value(0)->copyButton();
    copy->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "First line,\nand a second.");
    EXPECT_EQ(copy->accessibleName(), "Copied");
    h.queue.advance(1.01);
    EXPECT_EQ(copy->accessibleName(), "Copy");

    copy->click();
    h.list()->addEntry(QStringLiteral("next")); // rebuilds every row while the check shows
    h.queue.advance(2.0);
    EXPECT_EQ(rows(h.list()), (std::vector<std::string>{"First line,\nand a second.", "next"}));
}

// --- The welcome panel ---

struct Welcome : Main {
    std::optional<OnboardingWindow> onboarding{
        std::in_place, OnboardingWindow::Environment{defaults, queue, center}};
    int settingsRequests = 0;
    Subscription token = center.addObserver(notifications::showHotkeySettings, nullptr,
                                            [this](const Notification&) { ++settingsRequests; });

    QWidget* shown() {
        onboarding->showIfNeeded();
        queue.advance(OnboardingWindow::showDelay - 0.01);
        EXPECT_EQ(onboarding->panel(), nullptr) << "shows after a delay";
        queue.advance(0.02);
        return onboarding->panel();
    }
    bool completed() const {
        return defaults.boolValue(OnboardingWindow::defaultsKey).value_or(false);
    }
};

TEST(Onboarding, ReleasedBeforeTheDelayShowsNothing) {
    Welcome w;
    w.onboarding->showIfNeeded();
    w.queue.advance(0.5);
    w.onboarding.reset();
    w.queue.advance(1.0); // must not touch the released window
    for (QWidget* top : QApplication::topLevelWidgets()) {
        EXPECT_FALSE(top->isVisible()) << top->metaObject()->className();
    }
}

TEST(Onboarding, GotItStoresTheFlagAndClosesButNotWhenReleasedOutside) {
    Welcome w;
    QPointer<QWidget> panel = w.shown();
    ASSERT_NE(panel, nullptr);
    auto* gotIt = panel->findChild<ClickableView*>();
    click(gotIt, QPoint(gotIt->width() + 20, -10));
    EXPECT_FALSE(w.completed()) << "dragged out before the release";
    EXPECT_TRUE(panel->isVisible());
    click(gotIt);
    EXPECT_TRUE(w.completed());
    w.queue.advance(1.0);
    EXPECT_TRUE(panel.isNull() || !panel->isVisible());
    EXPECT_EQ(w.settingsRequests, 0);

    OnboardingWindow next({w.defaults, w.queue, w.center});
    next.showIfNeeded();
    w.queue.advance(1.0);
    EXPECT_EQ(next.panel(), nullptr) << "the next launch shows nothing";
}

TEST(Onboarding, CustomiseStoresClosesAndAsksForTheHotkeySettingsAFifthOfASecondLater) {
    Welcome w;
    QPointer<QWidget> panel = w.shown();
    ASSERT_NE(panel, nullptr);
    panel->findChild<QAbstractButton*>()->click(); // "Customise hotkey →"
    EXPECT_TRUE(w.completed());
    EXPECT_TRUE(panel.isNull() || !panel->isVisible());
    w.queue.advance(0.19);
    EXPECT_EQ(w.settingsRequests, 0);
    w.queue.advance(0.02);
    EXPECT_EQ(w.settingsRequests, 1);
}

} // namespace
} // namespace skrib::testing
