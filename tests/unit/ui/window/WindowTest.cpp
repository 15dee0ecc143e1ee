// The main window, its history list and the welcome panel, on virtual time over a fake HTTP stack.

#include "ServiceParts.h"
#include "state/Notifications.h"
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
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QToolButton>

namespace skrib::testing {
namespace {

using Rows = std::vector<std::string>;

/// A history page of the given texts and times, then `count` transcripts "t0", "t1", … a
/// millisecond apart.
std::string history(std::vector<std::pair<std::string, std::string>> texts, int count = 0) {
    for (int i = 0; i < count; ++i) {
        const QString at = QString("2025-01-02T08:00:00.%1Z").arg(i, 3, 10, QChar('0'));
        texts.emplace_back("t" + std::to_string(i), at.toStdString());
    }
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [text, createdAt] : texts) {
        list.push_back(
            {{"id", list.size() + 1}, {"raw", ""}, {"refined", text}, {"created_at", createdAt}});
    }
    return nlohmann::json{{"transcripts", list}, {"has_more", false}}.dump();
}

struct Window : ServiceParts {
    std::vector<KeptDictation> kept;
    std::vector<std::string> retried;
    MainWindowController controller{MainView::Environment{
        defaults, queue, center, appState, [this] { return &client; }, [] {}, [](const QUrl&) {},
        QStringLiteral("1.4.2"), QStringLiteral("https://vantuskrib.example/download"),
        QStringLiteral("vantuskrib.example"), QStringLiteral("help@vantuskrib.example"),
        [](QWidget* parent) { return new QLabel(QStringLiteral("settings page"), parent); },
        [this] { return kept; }, [this](const std::string& id) { retried.push_back(id); }}};

    Window() { controller.showAndFocus(); }
    MainView& view() { return *controller.mainView(); }
    TranscriptView* list() { return view().transcriptView(); }
    Rows rows() {
        Rows out;
        for (auto* row : list()->entryViews()) {
            out.push_back(row->entryText().toStdString());
        }
        return out;
    }
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

TEST(MainWindow, SidebarShowsOnePageAndOtherThreadsReachTheViewThroughTheMainQueue) {
    Window w;
    EXPECT_EQ(w.visiblePages(), "H--");
    for (const auto& [tab, shown] : {std::pair{2, "--A"}, {1, "-S-"}, {0, "H--"}}) {
        w.view().sidebarButtons()[tab]->click();
        EXPECT_EQ(w.visiblePages(), shown);
    }
    w.center.post(notifications::showHotkeySettings);
    w.queue.runUntilIdle();
    EXPECT_EQ(w.visiblePages(), "-S-") << "asked for the hotkey settings";

    w.answer(200, history({}, 3));
    std::thread([&] {
        w.appState.state.set(SkribState::processing);
        w.view().pushTranscript(QStringLiteral("just said"));
    }).join();
    EXPECT_EQ(w.view().stateLabel()->text(), "Ready") << "not from the other thread";
    w.queue.runUntilIdle();
    EXPECT_EQ(w.view().stateLabel()->text(), "Processing…");
    EXPECT_EQ(w.rows(), (Rows{"t0", "t1", "t2", "just said"}));
}

TEST(TranscriptView, ShowsTheNewestThirtyOrTheEmptyPanel) {
    const struct { int status; std::string body; std::size_t rows; std::string first, older; }
        cases[] = {
        {500, R"({"error":"boom"})", 0, "", ""},
        {200, history({{"", "x"}}), 0, "", ""}, // only empty texts
        {200, history({}, 31), 30, "t1", "1 older transcript"},
        {200, history({}, 150), 30, "t120", "70 older transcripts"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 60));
        Window h;
        EXPECT_TRUE(h.showsEmptyPanel());
        h.answer(c.status, c.body);
        const Rows shown = h.rows();
        EXPECT_EQ(shown.size(), c.rows);
        EXPECT_EQ(h.showsEmptyPanel(), shown.empty());
        EXPECT_EQ(shown.empty() ? "" : shown.front(), c.first);
        EXPECT_EQ(h.list()->olderLabel() ? h.list()->olderLabel()->text().toStdString() : "", c.older);
    }
}

TEST(TranscriptView, EntryAddedDuringTheFetchIsSortedInByTimeAndRowsCopyTheirText) {
    Window h;
    std::thread([&] { h.list()->addEntry(QStringLiteral("live")); }).join();
    h.queue.runUntilIdle();
    EXPECT_EQ(h.rows(), Rows{"live"});
    h.answer(200, history({{"before,\nand a second.", "2025-01-02T03:04:05.5Z"},
                           {"after", "2030-01-01T00:00:00Z"},
                           {"earlier", "2025-01-02T04:04:05+01:00"}}));
    EXPECT_EQ(h.rows(), (Rows{"earlier", "before,\nand a second.", "live", "after"}));
    // Copy puts the full text on the clipboard and confirms for a second.
    QToolButton* copy = h.list()->entryViews().value(1)->copyButton();
    copy->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before,\nand a second.");
    EXPECT_EQ(copy->accessibleName(), "Copied");
    h.queue.advance(1.01);
    EXPECT_EQ(copy->accessibleName(), "Copy");
    copy->click();
    h.list()->addEntry(QStringLiteral("next")); // rebuilds every row while the check shows
    h.queue.advance(2.0);
    EXPECT_EQ(h.rows(), (Rows{"earlier", "before,\nand a second.", "live", "after", "next"}));
    Window gone; // an answer after the view is gone is ignored
    delete gone.list();
    gone.answer(200, history({}, 3));
}

TEST(TranscriptView, KeptDictationsShowAtTheirTimeUntilSentAndRetryByHand) {
    const auto at = [](const char* text) { return *TranscriptView::parseTimestamp(text); };
    KeptDictation early, middle;
    early.id = "k1", early.recordedAt = at("2025-01-02T07:00:00Z"), early.seconds = 6.6;
    middle.id = "k2", middle.recordedAt = at("2025-01-02T08:00:00.0015Z"), middle.seconds = 65;
    const std::string k1 = "Not transcribed yet · 0:07", k2 = "Not transcribed yet · 1:05";
    const struct { std::vector<KeptDictation> kept; const char* transcribed; Rows rows, retried; }
        steps[] = {
        {{early}, nullptr, {k1}, {"k1"}}, // no transcripts yet: a row, not the empty panel
        {{early, middle}, nullptr, {k1, "t0", "t1", k2, "t2"}, {"k1", "k2"}},
        {{early}, "k2 said", {k1, "t0", "t1", "k2 said", "t2"}, {"k1"}}, // at its recorded time
        {{}, nullptr, {"t0", "t1", "k2 said", "t2"}, {}}};
    Window h;
    for (const auto& step : steps) {
        h.kept = step.kept;
        if (step.transcribed) {
            h.view().pushTranscript(step.transcribed, middle.recordedAt);
        }
        h.center.post(notifications::keptDictationsChanged);
        h.queue.runUntilIdle();
        EXPECT_EQ(h.rows(), step.rows);
        EXPECT_FALSE(h.showsEmptyPanel());
        h.retried.clear();
        for (auto* row : h.list()->entryViews()) {
            if (row->retryButton()) {
                row->retryButton()->click();
            }
        }
        EXPECT_EQ(h.retried, step.retried);
        if (&step == steps) {
            h.answer(200, history({}, 3));
        }
    }
}

struct Welcome : ServiceParts {
    std::optional<OnboardingWindow> onboarding{
        std::in_place, OnboardingWindow::Environment{defaults, queue, center}};
    int settingsRequests = 0;
    Subscription token = center.addObserver(notifications::showHotkeySettings, nullptr,
                                            [this](const Notification&) { ++settingsRequests; });

    QPointer<QWidget> shown() {
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

TEST(Onboarding, GotItOrCustomiseStoresTheFlagAndClosesButNotWhenReleasedOutsideOrEarly) {
    {
        Welcome early;
        early.onboarding->showIfNeeded();
        early.queue.advance(0.5);
        early.onboarding.reset();
        early.queue.advance(1.0); // must not touch the released window
        for (QWidget* top : QApplication::topLevelWidgets()) {
            EXPECT_FALSE(top->isVisible()) << top->metaObject()->className();
        }
    }
    // "Customise hotkey →" also asks for the hotkey settings a fifth of a second later.
    for (const bool customise : {false, true}) {
        SCOPED_TRACE(customise);
        Welcome w;
        QPointer<QWidget> panel = w.shown();
        ASSERT_NE(panel, nullptr);
        auto* gotIt = panel->findChild<ClickableView*>();
        QTest::mousePress(gotIt, Qt::LeftButton);
        QTest::mouseRelease(gotIt, Qt::LeftButton, {}, QPoint(gotIt->width() + 20, -10));
        EXPECT_FALSE(w.completed()) << "dragged out before the release";
        ASSERT_TRUE(panel->isVisible());
        if (customise) {
            panel->findChild<QAbstractButton*>()->click();
        } else {
            QTest::mouseClick(gotIt, Qt::LeftButton);
        }
        EXPECT_TRUE(w.completed());
        EXPECT_TRUE(panel.isNull() || !panel->isVisible());
        w.queue.advance(0.19);
        EXPECT_EQ(w.settingsRequests, 0);
        w.queue.advance(0.02);
        EXPECT_EQ(w.settingsRequests, customise ? 1 : 0);
        OnboardingWindow next({w.defaults, w.queue, w.center});
        next.showIfNeeded();
        w.queue.advance(1.0);
        EXPECT_EQ(next.panel(), nullptr) << "the next launch shows nothing";
    }
}

} // namespace
} // namespace skrib::testing
