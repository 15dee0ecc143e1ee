#include "ui/window/TranscriptView.h"

#include "app/Notifications.h"
#include "ui/window/Glyphs.h"
#include "unit/ui/window/WindowFixture.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace skrib::testing {
namespace {

using Record = FakeService::Record;

struct History {
    FakeScheduler queue;
    MemoryDefaults defaults;
    NotificationCenter center;
    FakeService service;
    QWidget host; // a window around the list, destroyed (with the list) first
    TranscriptView* view = nullptr;

    History() {
        host.resize(420, 300);
        auto* layout = new QVBoxLayout(&host);
        layout->setContentsMargins(0, 0, 0, 0);
        view = new TranscriptView(TranscriptView::Environment{defaults, queue, center,
                                                              [this] { return service.client(); }},
                                  &host);
        layout->addWidget(view);
    }

    void answer(const std::vector<Record>& records) {
        ASSERT_TRUE(service.answerHistory(200, FakeService::historyBody(records)));
        queue.runUntilIdle();
    }
    std::vector<std::string> rows() {
        std::vector<std::string> out;
        for (auto* row : view->entryViews()) {
            out.push_back(row->entryText().toStdString());
        }
        return out;
    }
    std::string older() {
        return view->olderLabel() != nullptr ? view->olderLabel()->text().toStdString() : "";
    }
};

// Whether `icon` at 16 pixels has a clearly visible pixel of `color`.
bool drawnIn(const QIcon& icon, const QColor& color) {
    const QImage image = icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() == 255 && c.rgb() == color.rgb()) {
                return true;
            }
        }
    }
    return false;
}

// MARK: - Empty history

TEST(TranscriptView, WithoutHistoryShowsOnlyTheHowToStartPanel) {
    History h;
    EXPECT_TRUE(h.view->scrollView()->isHidden());
    EXPECT_FALSE(h.view->onboardingContainer()->isHidden());
    QWidget* panel = h.view->onboardingContainer();
    EXPECT_EQ(visibleLabels(panel, "Right Ctrl").size(), 1);
    EXPECT_EQ(visibleLabels(panel, "Press to start · Press again to stop").size(), 1);

    int requests = 0;
    auto token = h.center.addObserver(notifications::showHotkeySettings, nullptr,
                                      [&](const Notification& n) {
                                          ++requests;
                                          EXPECT_FALSE(n.object.has_value());
                                      });
    auto buttons = panel->findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), "Customise hotkey →");
    buttons[0]->click();
    EXPECT_EQ(requests, 1);
}

TEST(TranscriptView, PanelNamesTheStoredHotkey) {
    FakeScheduler queue;
    MemoryDefaults defaults;
    NotificationCenter center;
    defaults.set("hotkeyOption", "custom");
    defaults.set("customHotkeyName", "F13");
    TranscriptView view({defaults, queue, center, {}});
    EXPECT_EQ(visibleLabels(view.onboardingContainer(), "F13").size(), 1);
}

struct FailedFetchCase {
    const char* name;
    int status;
    std::string body;
};

class FailedFetch : public ::testing::TestWithParam<FailedFetchCase> {};

TEST_P(FailedFetch, LeavesTheHistoryEmptyAndThePanelShown) {
    History h;
    ASSERT_TRUE(h.service.answerHistory(GetParam().status, GetParam().body));
    h.queue.runUntilIdle();
    EXPECT_TRUE(h.view->history().empty());
    EXPECT_FALSE(h.view->onboardingContainer()->isHidden());
    EXPECT_TRUE(h.view->scrollView()->isHidden());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FailedFetch,
    ::testing::Values(FailedFetchCase{"serverError", 500, R"({"error":"boom"})"},
                      FailedFetchCase{"emptyList", 200, R"({"transcripts":[]})"},
                      FailedFetchCase{"garbage", 200, "\x01\x02{"},
                      FailedFetchCase{"onlyEmptyTexts", 200,
                                      FakeService::historyBody({{1, "", "", "x"}})}),
    [](const auto& info) { return std::string(info.param.name); });

// MARK: - Loading

TEST(TranscriptView, AsksTheServiceForTheLatestFiftyOnceBuilt) {
    History h;
    EXPECT_TRUE(h.service.historyRequested());
}

struct CountCase {
    int fetched;
    const char* older;
    std::size_t rows;
    const char* firstRow;
};

class Counts : public ::testing::TestWithParam<CountCase> {};

TEST_P(Counts, ShowTheNewestThirtyAndSummariseTheRest) {
    History h;
    h.answer(FakeService::records(GetParam().fetched));
    EXPECT_EQ(h.older(), GetParam().older);
    const auto rows = h.rows();
    ASSERT_EQ(rows.size(), GetParam().rows);
    EXPECT_EQ(rows.front(), GetParam().firstRow);
    EXPECT_EQ(rows.back(), "t" + std::to_string(GetParam().fetched - 1));
    EXPECT_TRUE(h.view->onboardingContainer()->isHidden());
    EXPECT_FALSE(h.view->scrollView()->isHidden());
}

INSTANTIATE_TEST_SUITE_P(Sizes, Counts,
                         ::testing::Values(CountCase{1, "", 1, "t0"}, CountCase{30, "", 30, "t0"},
                                           CountCase{31, "1 older transcript", 30, "t1"},
                                           CountCase{45, "15 older transcripts", 30, "t15"},
                                           CountCase{150, "70 older transcripts", 30, "t120"}));

TEST(TranscriptView, KeepsAHundredEntriesDroppingTheOldest) {
    History h;
    h.answer(FakeService::records(100));
    h.view->addEntry(QStringLiteral("newest"));
    h.queue.runUntilIdle();
    ASSERT_EQ(h.view->history().size(), 100u);
    EXPECT_EQ(h.view->history().front().text, "t1");
    EXPECT_EQ(h.view->history().back().text, "newest");
    EXPECT_EQ(h.older(), "70 older transcripts");
    EXPECT_EQ(h.rows().size(), 30u);
    EXPECT_EQ(h.rows().back(), "newest");
}

TEST(TranscriptView, ListsRefinedTextElseRawAndSkipsEmptyRecords) {
    History h;
    h.answer({{1, "raw one", "Refined one.", "2025-01-02T08:00:00Z"},
              {2, "raw only", "", "2025-01-02T08:01:00Z"},
              {3, "", "", "2025-01-02T08:02:00Z"},
              {4, "", "Refined only.", "2025-01-02T08:03:00Z"}});
    EXPECT_EQ(h.rows(), (std::vector<std::string>{"Refined one.", "raw only", "Refined only."}));
}

TEST(TranscriptView, SortsByTimeWithAndWithoutFractionsUnparsableAsNow) {
    History h;
    // The fake clock's "now" lies between 2025 and 2030.
    h.answer({{1, "", "later", "2025-01-02T03:04:05.678Z"},
              {2, "", "unparsable", "yesterday"},
              {3, "", "future", "2030-01-01T00:00:00Z"},
              {4, "", "earlier", "2025-01-02T03:04:05Z"},
              {5, "", "offset", "2025-01-02T04:04:05.100+01:00"}});
    EXPECT_EQ(h.rows(),
              (std::vector<std::string>{"earlier", "offset", "later", "unparsable", "future"}));
}

TEST(TranscriptView, EntryAddedWhileTheFetchRunsIsSortedInWithTheFetched) {
    History h;
    std::thread([&] { h.view->addEntry(QStringLiteral("live")); }).join();
    h.queue.runUntilIdle();
    EXPECT_EQ(h.rows(), std::vector<std::string>{"live"});
    h.answer({{1, "", "before", "2025-01-02T03:04:05Z"}, {2, "", "after", "2030-01-01T00:00:00Z"}});
    EXPECT_EQ(h.rows(), (std::vector<std::string>{"before", "live", "after"}));
}

TEST(TranscriptView, AnswerAfterTheViewIsGoneIsIgnored) {
    History h;
    delete h.view;
    EXPECT_TRUE(h.service.answerHistory(200, FakeService::historyBody(FakeService::records(3))));
    EXPECT_EQ(h.queue.pendingCount(), 0u); // nothing handed to the main queue
    h.queue.runUntilIdle();
}

TEST(TranscriptView, WorksWithoutAServiceClient) {
    FakeScheduler queue;
    MemoryDefaults defaults;
    NotificationCenter center;
    TranscriptView view(
        {defaults, queue, center, [] { return static_cast<RefineClient*>(nullptr); }});
    view.addEntry(QStringLiteral("offline"));
    queue.runUntilIdle();
    ASSERT_EQ(view.entryViews().size(), 1);
    EXPECT_EQ(view.entryViews()[0]->entryText(), "offline");
}

// MARK: - Time stamps

struct StampCase {
    const char* text;
    std::optional<std::int64_t> epochMilliseconds;
};

class Timestamps : public ::testing::TestWithParam<StampCase> {};

TEST_P(Timestamps, ParseInternetDateTimesOnly) {
    const auto parsed = TranscriptView::parseTimestamp(GetParam().text);
    ASSERT_EQ(parsed.has_value(), GetParam().epochMilliseconds.has_value()) << GetParam().text;
    if (parsed) {
        EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(parsed->time_since_epoch())
                      .count(),
                  *GetParam().epochMilliseconds)
            << GetParam().text;
    }
}

// 2025-01-02T03:04:05Z is 1735787045 seconds after the epoch.
INSTANTIATE_TEST_SUITE_P(
    Texts, Timestamps,
    ::testing::Values(StampCase{"2025-01-02T03:04:05Z", 1735787045000},
                      StampCase{"2025-01-02T03:04:05.678Z", 1735787045678},
                      StampCase{"2025-01-02T03:04:05.5Z", 1735787045500},
                      StampCase{"2025-01-02T03:04:05.123456Z", 1735787045123},
                      StampCase{"2025-01-02T03:04:05.9999999999Z", 1735787045999},
                      StampCase{"２025-01-02T03:04:05Z", std::nullopt},
                      StampCase{"2025-01-02T05:04:05+02:00", 1735787045000},
                      StampCase{"2025-01-01T22:34:05-04:30", 1735787045000},
                      StampCase{"1970-01-01T00:00:00Z", 0},
                      StampCase{"2024-02-29T00:00:00Z", 1709164800000},
                      StampCase{"2025-01-02T03:04:05", std::nullopt},
                      StampCase{"2025-01-02 03:04:05Z", std::nullopt},
                      StampCase{"2025-02-29T00:00:00Z", std::nullopt},
                      StampCase{"2025-13-01T00:00:00Z", std::nullopt},
                      StampCase{"2025-01-02T24:00:00Z", std::nullopt},
                      StampCase{"2025-01-02T03:60:00Z", std::nullopt},
                      StampCase{"2025-01-02T03:04:05.Z", std::nullopt},
                      StampCase{"2025-01-02T03:04:05+25:00", std::nullopt},
                      StampCase{"2025-01-02", std::nullopt}, StampCase{"", std::nullopt},
                      StampCase{"\xff\xfe garbage", std::nullopt}));

TEST(TranscriptView, RowTimeIsTwelveHourWithoutDate) {
    History h;
    h.answer({{1, "", "one", "2025-01-02T15:07:00Z"}});
    ASSERT_EQ(h.view->entryViews().size(), 1);
    const QString time = h.view->entryViews()[0]->timeLabel()->text();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^(1[0-2]|[1-9]):[0-5][0-9] \\S+$"))
                    .match(time)
                    .hasMatch())
        << time.toStdString();
}

// MARK: - Rows

TEST(TranscriptEntry, CopyPutsTheFullTextOnTheClipboardAndShowsACheckForOneSecond) {
    History h;
    const std::string text = "First line of a long dictation,\nand a second line.";
    h.answer({{1, "", text, "2025-01-02T03:04:05Z"}});
    QGuiApplication::clipboard()->setText(QStringLiteral("something older"));
    TranscriptEntryView* row = h.view->entryViews().value(0);
    ASSERT_NE(row, nullptr);
    QToolButton* copy = row->copyButton();
    EXPECT_EQ(copy->toolTip(), "Copy to clipboard");
    const QColor grey(0x66, 0x66, 0x66), green(0x4A, 0xDE, 0x80);
    EXPECT_TRUE(drawnIn(copy->icon(), grey));

    copy->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), text);
    EXPECT_TRUE(drawnIn(copy->icon(), green));
    EXPECT_FALSE(drawnIn(copy->icon(), grey));
    EXPECT_EQ(copy->accessibleName(), "Copied");

    h.queue.advance(0.99);
    EXPECT_TRUE(drawnIn(copy->icon(), green));
    h.queue.advance(0.02);
    EXPECT_TRUE(drawnIn(copy->icon(), grey));
    EXPECT_FALSE(drawnIn(copy->icon(), green));
    EXPECT_EQ(copy->accessibleName(), "Copy");
}

TEST(TranscriptEntry, CheckMarkOutlivingItsRowDoesNothing) {
    History h;
    h.answer({{1, "", "one", "2025-01-02T03:04:05Z"}});
    h.view->entryViews()[0]->copyButton()->click();
    h.view->addEntry(QStringLiteral("two")); // rebuilds every row
    h.queue.runUntilIdle();
    h.queue.advance(2.0);
    EXPECT_EQ(h.rows(), (std::vector<std::string>{"one", "two"}));
}

TEST(TranscriptEntry, CopyButtonFadesInOnHoverAndOutOnLeave) {
    History h;
    h.answer({{1, "", "one", "2025-01-02T03:04:05Z"}});
    TranscriptEntryView* row = h.view->entryViews()[0];
    EXPECT_EQ(row->copyButtonOpacity(), 0.0);
    sendEnter(row);
    h.queue.advance(0.07);
    EXPECT_GT(row->copyButtonOpacity(), 0.0);
    EXPECT_LT(row->copyButtonOpacity(), 1.0);
    h.queue.advance(0.1);
    EXPECT_EQ(row->copyButtonOpacity(), 1.0);
    sendLeave(row);
    h.queue.advance(0.2);
    EXPECT_EQ(row->copyButtonOpacity(), 0.0);
}

TEST(TranscriptView, LongTextWrapsAndTheRowGrowsToShowAllOfIt) {
    History h;
    h.host.show();
    std::string words;
    for (int i = 0; i < 40; ++i) {
        words += "word" + std::to_string(i) + " ";
    }
    h.answer({{1, "", "short", "2025-01-02T03:04:05Z"}, {2, "", words, "2025-01-02T03:05:05Z"}});
    ASSERT_EQ(h.view->entryViews().size(), 2);
    QLabel* brief = h.view->entryViews()[0]->textLabel();
    QLabel* wrapped = h.view->entryViews()[1]->textLabel();
    EXPECT_GT(wrapped->height(), 2 * brief->height());
    // Exactly as tall as its lines: no clipped line, no gap above or below the text.
    EXPECT_EQ(wrapped->height(), wrapped->heightForWidth(wrapped->width()));
    EXPECT_EQ(brief->height(), brief->heightForWidth(brief->width()));
    EXPECT_LE(wrapped->width(), h.view->scrollView()->viewport()->width());
}

TEST(TranscriptView, ScrollsToTheNewestAfterEachChange) {
    History h;
    h.host.show();
    h.answer(FakeService::records(20));
    QScrollBar* bar = h.view->scrollView()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    const int before = bar->maximum();

    bar->setValue(0);
    h.view->addEntry(QStringLiteral("and one more"));
    h.queue.runUntilIdle();
    EXPECT_GT(bar->maximum(), before);
    EXPECT_EQ(bar->value(), bar->maximum());
    // The newest row is inside the visible part of the list.
    TranscriptEntryView* newest = h.view->entryViews().last();
    const QRect shown = h.view->scrollView()->viewport()->rect();
    const QRect row(newest->mapTo(h.view->scrollView()->viewport(), QPoint(0, 0)), newest->size());
    EXPECT_TRUE(shown.contains(row)) << row.y() << "+" << row.height() << " in " << shown.height();
}

} // namespace
} // namespace skrib::testing
