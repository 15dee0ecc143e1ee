#pragma once

#include "dictation/KeptDictationStore.h"
#include "platform/Scheduler.h"
#include "platform/Subscription.h"
#include "ui/indicator/ScheduledAnimation.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QList>
#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;
class QGraphicsOpacityEffect;

namespace skrib {

class Defaults;
class NotificationCenter;
class RefineClient;
struct Transcript;

/// One row of the history: the time, the text (wrapping, selectable) and a copy button that
/// fades in while the pointer is over the row. A row given `retry` stands for a dictation not
/// transcribed yet: its text is dimmer and a "Retry" button runs `retry` instead of the copy
/// button. Main thread only.
class TranscriptEntryView : public QWidget {
    Q_OBJECT
public:
    static constexpr double fadeSeconds = 0.15;
    static constexpr double copiedSeconds = 1.0;

    TranscriptEntryView(const QString& text, WallClock::time_point timestamp, Scheduler& mainQueue,
                        QWidget* parent = nullptr, std::function<void()> retry = {});
    ~TranscriptEntryView() override;

    /// The row's full text: what the copy button puts on the clipboard.
    const QString& entryText() const { return entryText_; }
    QLabel* timeLabel() const { return timeLabel_; }
    QLabel* textLabel() const { return textLabel_; }
    /// Null on a row with a "Retry" button.
    QToolButton* copyButton() const { return copyButton_; }
    /// Null on a transcript's row.
    QPushButton* retryButton() const { return retryButton_; }
    /// How visible the copy button is: 0 until the pointer enters the row.
    double copyButtonOpacity() const;

    /// Puts the text on the clipboard and shows a green check mark for a second.
    void copyTapped();

    /// The time as a row shows it, in the user's locale ("3:07 PM").
    static QString timeText(WallClock::time_point timestamp);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void fadeCopyButton(double to);
    void showCopyGlyph();

    QString entryText_;
    Scheduler& mainQueue_;
    QLabel* timeLabel_ = nullptr;
    QLabel* textLabel_ = nullptr;
    QToolButton* copyButton_ = nullptr;
    QPushButton* retryButton_ = nullptr;
    QGraphicsOpacityEffect* copyOpacity_ = nullptr;
    ScheduledAnimation fade_;
    std::shared_ptr<WorkItem> revert_;
    std::shared_ptr<TranscriptEntryView*> alive_ = std::make_shared<TranscriptEntryView*>(this);
};

/// The Home tab's history: the newest transcripts as a scrolling column, oldest at the top and
/// scrolled to the newest, or a short panel on how to start while there are none. The history
/// is filled once from the service when the view is built and grows with every dictation.
/// Dictations kept for a retry show among them at the time they were recorded, each with a
/// "Retry" button, for as long as they wait; they are not part of `history()`.
/// Main thread only, except `addEntry`.
class TranscriptView : public QWidget {
    Q_OBJECT
public:
    static constexpr std::size_t maxHistory = 100;
    static constexpr std::size_t visibleLimit = 30;
    static constexpr int fetchLimit = 50;

    struct Environment {
        Defaults& defaults;
        Scheduler& mainQueue;
        NotificationCenter& center;
        /// The shared service client; may answer null (no history is fetched then).
        std::function<RefineClient*()> client;
        /// The kept dictations waiting to be sent, and sends one now. Without both no kept
        /// dictation is shown.
        std::function<std::vector<KeptDictation>()> keptDictations;
        std::function<void(const std::string& id)> retryKept;
    };

    struct Entry {
        QString text;
        WallClock::time_point timestamp;
    };

    explicit TranscriptView(Environment environment, QWidget* parent = nullptr);
    ~TranscriptView() override;

    /// Adds `text` as an entry sorted in at `at`, or without it as the newest entry, stamped
    /// with the time it reaches the main queue. Callable from any thread.
    void addEntry(const QString& text, std::optional<WallClock::time_point> at = {});
    /// A kept dictation's row text: "Not transcribed yet · 1:05".
    static QString keptText(double seconds);

    /// Asks the view to show the hotkey settings (the main window switches to Settings).
    void openHotkeySettings();

    /// A service time stamp: ISO 8601 internet date-time, with or without fractional seconds,
    /// with "Z" or a "±hh:mm" offset. None when it is anything else.
    static std::optional<WallClock::time_point> parseTimestamp(const std::string& text);

    const std::vector<Entry>& history() const { return history_; }
    QScrollArea* scrollView() const { return scrollView_; }
    QWidget* containerView() const { return containerView_; }
    QWidget* onboardingContainer() const { return onboardingContainer_; }
    /// The "{n} older transcripts" line, or null when every entry has a row.
    QLabel* olderLabel() const { return olderLabel_; }
    /// The rows, top to bottom.
    QList<TranscriptEntryView*> entryViews() const { return entryViews_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void loadHistory();
    void addFetched(const std::vector<Transcript>& records);
    void rebuild();
    void layoutContainer();
    void scrollToBottom();
    void keepNewest();
    void readKept();

    Environment env_;
    QScrollArea* scrollView_ = nullptr;
    QWidget* containerView_ = nullptr;
    QVBoxLayout* containerLayout_ = nullptr;
    QWidget* onboardingContainer_ = nullptr;
    QLabel* olderLabel_ = nullptr;
    QList<TranscriptEntryView*> entryViews_;
    std::vector<Entry> history_;
    std::vector<KeptDictation> kept_; // by the time they were recorded
    Subscription keptObserver_;
    bool scrollWhenShown_ = false;
    std::shared_ptr<TranscriptView*> alive_ = std::make_shared<TranscriptView*>(this);
};

} // namespace skrib
