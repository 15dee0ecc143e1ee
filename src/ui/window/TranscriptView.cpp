#include "ui/window/TranscriptView.h"

#include "input/HotkeyOption.h"
#include "platform/NotificationCenter.h"
#include "service/RefineClient.h"
#include "state/Notifications.h"
#include "ui/BrandFonts.h"
#include "ui/ClosureAction.h"
#include "ui/HexColor.h"
#include "ui/window/Glyphs.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include <QClipboard>
#include <QDate>
#include <QDateTime>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace skrib {
namespace {

constexpr double frameInterval = 1.0 / 60.0;

void setTextColor(QWidget* widget, const char* hex) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, hexColor(QLatin1String(hex)));
    palette.setColor(QPalette::Text, hexColor(QLatin1String(hex)));
    palette.setColor(QPalette::ButtonText, hexColor(QLatin1String(hex)));
    widget->setPalette(palette);
}

QLabel* makeLabel(const QString& text, const QFont& font, const char* hex, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    setTextColor(label, hex);
    return label;
}

QString olderText(std::size_t older) {
    return QStringLiteral("%1 older transcript%2").arg(older).arg(older == 1 ? "" : "s");
}

} // namespace

// MARK: - Rows

TranscriptEntryView::TranscriptEntryView(const QString& text, WallClock::time_point timestamp,
                                         Scheduler& mainQueue, QWidget* parent,
                                         std::function<void()> retry)
    : QWidget(parent)
    , entryText_(text)
    , mainQueue_(mainQueue)
    , fade_(mainQueue) {
    timeLabel_ = makeLabel(timeText(timestamp), BrandFonts::spaceMono(10), "#555555", this);

    textLabel_ = makeLabel(text, BrandFonts::figtree(13), retry ? "#98989D" : "#E0E0E0", this);
    textLabel_->setTextFormat(Qt::PlainText);
    textLabel_->setWordWrap(true);
    textLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    textLabel_->setCursor(Qt::IBeamCursor);
    // Gives way to the row's width and grows downwards instead.
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    textLabel_->setSizePolicy(policy);

    QWidget* action = nullptr;
    if (retry) {
        retryButton_ = new QPushButton(QStringLiteral("Retry"), this);
        retryButton_->setFont(BrandFonts::spaceMono(10));
        retryButton_->setFlat(true);
        retryButton_->setFixedHeight(16);
        retryButton_->setCursor(Qt::PointingHandCursor);
        retryButton_->setFocusPolicy(Qt::NoFocus);
        retryButton_->setStyleSheet(QStringLiteral(
            "QPushButton { border: none; background: transparent; color: #666666; padding: 0; }"
            "QPushButton:hover { color: #E0E0E0; }"));
        ClosureAction::attach(retryButton_, std::move(retry));
        action = retryButton_;
    } else {
        copyButton_ = new QToolButton(this);
        copyButton_->setAutoRaise(true);
        copyButton_->setFixedSize(16, 16);
        copyButton_->setIconSize(QSize(16, 16));
        copyButton_->setStyleSheet(
            QStringLiteral("QToolButton { border: none; background: transparent; padding: 0; }"));
        copyButton_->setToolTip(QStringLiteral("Copy to clipboard"));
        copyButton_->setCursor(Qt::PointingHandCursor);
        copyButton_->setFocusPolicy(Qt::NoFocus);
        showCopyGlyph();
        copyOpacity_ = new QGraphicsOpacityEffect(copyButton_);
        copyOpacity_->setOpacity(0.0);
        copyButton_->setGraphicsEffect(copyOpacity_);
        ClosureAction::attach(copyButton_, [this] { copyTapped(); });
        action = copyButton_;
    }

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setHorizontalSpacing(0);
    layout->setVerticalSpacing(2);
    layout->addWidget(timeLabel_, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
    layout->addWidget(action, 0, 1, Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(textLabel_, 1, 0, 1, 2);
    layout->setColumnStretch(0, 1);
}

TranscriptEntryView::~TranscriptEntryView() {
    if (revert_) {
        revert_->cancel();
    }
}

QString TranscriptEntryView::timeText(WallClock::time_point timestamp) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(timestamp.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    return QLocale::system().toString(local.time(), QStringLiteral("h:mm AP"));
}

double TranscriptEntryView::copyButtonOpacity() const {
    return copyOpacity_ != nullptr ? copyOpacity_->opacity() : 0.0;
}

void TranscriptEntryView::copyTapped() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(entryText_);

    copyButton_->setIcon(glyphIcon(Glyph::checkmark, hexColor(QStringLiteral("#4ADE80"))));
    copyButton_->setAccessibleName(QStringLiteral("Copied"));
    if (revert_) {
        revert_->cancel();
    }
    revert_ = mainQueue_.postAfter(copiedSeconds, [weak = std::weak_ptr(alive_)] {
        if (auto self = weak.lock()) {
            (*self)->showCopyGlyph();
        }
    });
}

void TranscriptEntryView::showCopyGlyph() {
    copyButton_->setIcon(glyphIcon(Glyph::copy, hexColor(QStringLiteral("#666666"))));
    copyButton_->setAccessibleName(QStringLiteral("Copy"));
}

void TranscriptEntryView::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    fadeCopyButton(1.0);
}

void TranscriptEntryView::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    fadeCopyButton(0.0);
}

void TranscriptEntryView::fadeCopyButton(double to) {
    if (copyOpacity_ == nullptr) {
        return;
    }
    fade_.start(copyOpacity_->opacity(), to, fadeSeconds, false, frameInterval,
                [effect = copyOpacity_](double value) { effect->setOpacity(value); });
}

// MARK: - The list

TranscriptView::TranscriptView(Environment environment, QWidget* parent)
    : QWidget(parent)
    , env_(std::move(environment)) {
    scrollView_ = new QScrollArea(this);
    scrollView_->setFrameShape(QFrame::NoFrame);
    scrollView_->setWidgetResizable(false);
    scrollView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollView_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scrollView_->setStyleSheet(QStringLiteral(
        "QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"
        "QScrollBar:vertical { background: transparent; width: 8px; margin: 0; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,40); border-radius: 3px;"
        " min-height: 24px; margin: 1px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
    scrollView_->viewport()->setAutoFillBackground(false);
    scrollView_->viewport()->installEventFilter(this);

    containerView_ = new QWidget;
    containerView_->setAutoFillBackground(false);
    containerLayout_ = new QVBoxLayout(containerView_);
    containerLayout_->setContentsMargins(12, 0, 12, 8);
    containerLayout_->setSpacing(0);
    scrollView_->setWidget(containerView_);

    onboardingContainer_ = new QWidget(this);
    auto* panel = new QVBoxLayout(onboardingContainer_);
    panel->setContentsMargins(0, 0, 0, 0);
    panel->setSpacing(0);
    const QString hotkey =
        QString::fromStdString(HotkeyOption::stored(env_.defaults).displayName(env_.defaults));
    auto* hotkeyLabel = makeLabel(hotkey, BrandFonts::figtree(22, BrandFonts::Weight::semibold),
                                  "#E0E0E0", onboardingContainer_);
    hotkeyLabel->setAlignment(Qt::AlignHCenter);
    auto* howLabel = makeLabel(QStringLiteral("Press to start · Press again to stop"),
                               BrandFonts::figtree(13), "#98989D", onboardingContainer_);
    howLabel->setAlignment(Qt::AlignHCenter);
    auto* customise = new QPushButton(QStringLiteral("Customise hotkey →"), onboardingContainer_);
    QFont linkFont = BrandFonts::figtree(11);
    linkFont.setUnderline(true);
    customise->setFont(linkFont);
    customise->setFlat(true);
    customise->setCursor(Qt::PointingHandCursor);
    customise->setStyleSheet(QStringLiteral(
        "QPushButton { border: none; background: transparent; color: #555555; padding: 0; }"));
    ClosureAction::attach(customise, [this] { openHotkeySettings(); });
    panel->addWidget(hotkeyLabel, 0, Qt::AlignHCenter);
    panel->addSpacing(8);
    panel->addWidget(howLabel, 0, Qt::AlignHCenter);
    panel->addSpacing(12);
    panel->addWidget(customise, 0, Qt::AlignHCenter);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scrollView_, 0, 0);
    layout->addWidget(onboardingContainer_, 0, 0, Qt::AlignCenter);

    if (env_.keptDictations && env_.retryKept) {
        keptObserver_ = env_.center.addObserver(notifications::keptDictationsChanged,
                                                &env_.mainQueue, [this](const Notification&) {
                                                    readKept();
                                                    rebuild();
                                                });
        readKept();
    }
    rebuild();
    loadHistory();
}

TranscriptView::~TranscriptView() = default;

void TranscriptView::addEntry(const QString& text, std::optional<WallClock::time_point> at) {
    Scheduler& queue = env_.mainQueue;
    queue.post([weak = std::weak_ptr(alive_), text, at] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        TranscriptView& view = **self;
        auto& history = view.history_;
        const auto place = !at ? history.end()
                               : std::upper_bound(history.begin(), history.end(), *at,
                                                  [](auto time, const Entry& entry) {
                                                      return time < entry.timestamp;
                                                  });
        history.insert(place, Entry{text, at.value_or(view.env_.mainQueue.now())});
        view.keepNewest();
        view.rebuild();
    });
}

QString TranscriptView::keptText(double seconds) {
    const long total = std::lround(std::max(seconds, 0.0));
    return QStringLiteral("Not transcribed yet · %1:%2")
        .arg(total / 60)
        .arg(total % 60, 2, 10, QChar('0'));
}

void TranscriptView::readKept() {
    kept_ = env_.keptDictations();
    std::stable_sort(kept_.begin(), kept_.end(),
                     [](const auto& a, const auto& b) { return a.recordedAt < b.recordedAt; });
}

void TranscriptView::openHotkeySettings() {
    env_.center.post(notifications::showHotkeySettings);
}

void TranscriptView::loadHistory() {
    RefineClient* client = env_.client ? env_.client() : nullptr;
    if (client == nullptr) {
        return;
    }
    Scheduler& queue = env_.mainQueue;
    client->fetchTranscripts(
        std::nullopt, fetchLimit,
        [weak = std::weak_ptr(alive_), &queue](std::vector<Transcript> records, bool) {
            // May run on any thread: only hand the records over to the main queue.
            if (weak.expired() || records.empty()) {
                return;
            }
            queue.post([weak, records = std::move(records)] {
                if (auto self = weak.lock()) {
                    (*self)->addFetched(records);
                }
            });
        });
}

void TranscriptView::addFetched(const std::vector<Transcript>& records) {
    for (const Transcript& record : records) {
        const std::string& text = !record.refined.empty() ? record.refined : record.raw;
        if (text.empty()) {
            continue;
        }
        const auto timestamp = parseTimestamp(record.createdAt).value_or(env_.mainQueue.now());
        history_.push_back(Entry{QString::fromStdString(text), timestamp});
    }
    std::stable_sort(history_.begin(), history_.end(),
                     [](const Entry& a, const Entry& b) { return a.timestamp < b.timestamp; });
    keepNewest();
    rebuild();
}

void TranscriptView::keepNewest() {
    if (history_.size() > maxHistory) {
        history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(
                                                                history_.size() - maxHistory));
    }
}

std::optional<WallClock::time_point> TranscriptView::parseTimestamp(const std::string& text) {
    // Date, time, optional fraction, then "Z" or an offset.
    static const QRegularExpression pattern(
        QStringLiteral(R"(^([0-9]{4})-([0-9]{2})-([0-9]{2}))"
                       R"(T([0-9]{2}):([0-9]{2}):([0-9]{2})(?:\.([0-9]+))?)"
                       R"((?:(Z)|([+-])([0-9]{2}):([0-9]{2}))$)"));
    const auto match = pattern.match(QString::fromStdString(text));
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const auto number = [&](int group) { return match.captured(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    const int hour = number(4), minute = number(5), second = number(6);
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    std::int64_t offset = 0;
    if (match.captured(8).isEmpty()) {
        const int offsetHours = number(10), offsetMinutes = number(11);
        if (offsetHours > 23 || offsetMinutes > 59) {
            return std::nullopt;
        }
        offset = (offsetHours * 3600 + offsetMinutes * 60) * (match.captured(9) == "-" ? -1 : 1);
    }
    constexpr std::int64_t unixEpochJulianDay = 2440588;
    const std::int64_t seconds = (date.toJulianDay() - unixEpochJulianDay) * 86400 + hour * 3600 +
                                 minute * 60 + second - offset;
    std::int64_t nanoseconds = 0;
    if (const QString fraction = match.captured(7); !fraction.isEmpty()) {
        nanoseconds = fraction.left(9).leftJustified(9, QLatin1Char('0')).toLongLong();
    }
    return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

void TranscriptView::rebuild() {
    const bool empty = history_.empty() && kept_.empty();
    onboardingContainer_->setVisible(empty);
    scrollView_->setVisible(!empty);
    if (empty) {
        return;
    }

    // Every row is made anew from the history, with the kept dictations sorted in by time.
    while (QLayoutItem* item = containerLayout_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    olderLabel_ = nullptr;
    entryViews_.clear();

    struct Row {
        const Entry* entry;
        const KeptDictation* kept;
    };
    std::vector<Row> rows;
    auto entry = history_.begin();
    auto kept = kept_.begin();
    while (entry != history_.end() || kept != kept_.end()) {
        if (kept != kept_.end() &&
            (entry == history_.end() || kept->recordedAt < entry->timestamp)) {
            rows.push_back(Row{nullptr, &*kept++});
        } else {
            rows.push_back(Row{&*entry++, nullptr});
        }
    }

    const std::size_t visibleCount = std::min(rows.size(), visibleLimit);
    const std::size_t older = rows.size() - visibleCount;
    int gap = 8;
    if (older >= 1) {
        olderLabel_ =
            makeLabel(olderText(older), BrandFonts::spaceMono(10), "#3A3A3C", containerView_);
        containerLayout_->addSpacing(8);
        containerLayout_->addWidget(olderLabel_);
        gap = 16;
    }
    for (std::size_t i = older; i < rows.size(); ++i) {
        const Row& row = rows[i];
        auto* view =
            row.entry != nullptr
                ? new TranscriptEntryView(row.entry->text, row.entry->timestamp, env_.mainQueue,
                                          containerView_)
                : new TranscriptEntryView(
                      keptText(row.kept->seconds), row.kept->recordedAt, env_.mainQueue,
                      containerView_, [retry = env_.retryKept, id = row.kept->id] { retry(id); });
        containerLayout_->addSpacing(gap);
        containerLayout_->addWidget(view);
        entryViews_.append(view);
        gap = 16;
    }
    containerLayout_->addStretch(1);
    for (QWidget* child : containerView_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        child->show();
    }

    env_.mainQueue.post([weak = std::weak_ptr(alive_)] {
        if (auto self = weak.lock()) {
            (*self)->layoutContainer();
            (*self)->scrollToBottom();
        }
    });
}

void TranscriptView::layoutContainer() {
    // The scroller may just have been shown: settle its geometry first.
    layout()->activate();
    const int width = scrollView_->viewport()->width();
    containerLayout_->activate();
    const int height = containerLayout_->hasHeightForWidth()
                           ? containerLayout_->totalHeightForWidth(width)
                           : containerLayout_->totalSizeHint().height();
    containerView_->resize(width, std::max(height, 0));
}

void TranscriptView::scrollToBottom() {
    if (!scrollView_->isVisible()) {
        // The scroller has no size yet; scroll once it is shown.
        scrollWhenShown_ = true;
        return;
    }
    scrollWhenShown_ = false;
    const int visibleHeight = scrollView_->viewport()->height();
    if (containerView_->height() > visibleHeight) {
        QScrollBar* bar = scrollView_->verticalScrollBar();
        bar->setValue(bar->maximum());
    }
}

bool TranscriptView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == scrollView_->viewport() && event->type() == QEvent::Resize) {
        layoutContainer();
    }
    return QWidget::eventFilter(watched, event);
}

void TranscriptView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (scrollWhenShown_) {
        env_.mainQueue.post([weak = std::weak_ptr(alive_)] {
            if (auto self = weak.lock()) {
                (*self)->layoutContainer();
                (*self)->scrollToBottom();
            }
        });
    }
}

} // namespace skrib
