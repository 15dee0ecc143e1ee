#include "ui/settings/SettingsView.h"

#include "input/HotkeyOption.h"
#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "platform/Scheduler.h"
#include "state/AppState.h"
#include "state/Notifications.h"
#include "ui/BrandFonts.h"
#include "ui/HexColor.h"
#include "ui/indicator/DictationIndicator.h"
#include "ui/settings/KeyRecorder.h"
#include "ui/settings/SettingsWidgets.h"
#include "ui/settings/StaticEQView.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace skrib {
namespace {

constexpr int rowHeight = 48;
constexpr int rowWithSubtitleHeight = 60;
constexpr int rowInset = 16;
constexpr int previewAreaHeight = 60;

/// One row of a card: the title (and subtitle) at the left, the control at the right.
class SettingsRow : public QWidget {
public:
    SettingsRow(const QString& title, QWidget* control, const QString& subtitle)
        : title_(makeLabel(title, BrandFonts::figtree(13), QStringLiteral("#E0E0E0"), this))
        , control_(control)
        , subtitleText_(subtitle) {
        control_->setParent(this);
        if (!subtitle.isEmpty()) {
            subtitle_ =
                makeLabel(subtitle, BrandFonts::figtree(11), QStringLiteral("#6E6E73"), this);
        }
        setFixedHeight(subtitle.isEmpty() ? rowHeight : rowWithSubtitleHeight);
    }

    QSize minimumSizeHint() const override {
        return {rowInset + title_->sizeHint().width() + 12 + control_->sizeHint().width() +
                    rowInset,
                height()};
    }
    QSize sizeHint() const override { return minimumSizeHint(); }

protected:
    void resizeEvent(QResizeEvent*) override {
        const QSize controlSize = control_->sizeHint();
        const int controlX = width() - rowInset - controlSize.width();
        const QSize titleSize = title_->sizeHint();
        if (subtitle_ == nullptr) {
            title_->setGeometry(rowInset, (height() - titleSize.height()) / 2, titleSize.width(),
                                titleSize.height());
            control_->setGeometry(controlX, (height() - controlSize.height()) / 2,
                                  controlSize.width(), controlSize.height());
            return;
        }
        title_->setGeometry(rowInset, 12, titleSize.width(), titleSize.height());
        control_->setGeometry(controlX, 14, controlSize.width(), controlSize.height());
        const int subtitleTop = 12 + titleSize.height() + 3;
        const int subtitleWidth = std::max(0, controlX - 8 - rowInset);
        subtitle_->setText(
            subtitle_->fontMetrics().elidedText(subtitleText_, Qt::ElideRight, subtitleWidth));
        subtitle_->setGeometry(rowInset, subtitleTop, subtitleWidth,
                               subtitle_->sizeHint().height());
    }

private:
    QLabel* title_;
    QLabel* subtitle_ = nullptr;
    QWidget* control_;
    QString subtitleText_;
};

constexpr int scrollerWidth = 8;
const QString scrollerStyle = QStringLiteral(
    "QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"
    " QScrollBar:vertical { background: transparent; width: 8px; margin: 0; }"
    " QScrollBar::handle:vertical { background: rgba(255, 255, 255, 40); border-radius: 3px;"
    " min-height: 24px; margin: 1px; }"
    " QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
    " QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");

} // namespace

// MARK: - Tables

const std::array<SettingsView::StylePreset, 4>& SettingsView::stylePresets() {
    return StyleBlock::stylePresets();
}

const SettingsView::StylePreset* SettingsView::stylePreset(const std::string& id) {
    return StyleBlock::stylePreset(id);
}

bool SettingsView::isDiscardedPrompt(const QString& prompt) {
    return StyleBlock::isDiscardedPrompt(prompt);
}

// MARK: - Vocabulary

QStringList SettingsView::splitVocab(const std::string& vocabulary) {
    return VocabBlock::splitVocab(vocabulary);
}

QStringList SettingsView::loadVocabWords() const {
    return VocabBlock::loadVocabWords(env_.client ? env_.client() : nullptr);
}

// MARK: - Capsule preview

QWidget* SettingsView::buildCapsulePreview(CapsuleSize size) {
    QColor fill = hexColor(QStringLiteral("#111114"));
    fill.setAlphaF(0.92f);
    auto* capsule = new RoundedPanel(fill, size.height() / 2.0, QColor::fromRgbF(1, 1, 1, 0.08f));
    capsule->setObjectName(QStringLiteral("capsulePreview"));
    capsule->setFixedSize(size.width(), size.height());

    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setWeight(QFont::Medium);
    font.setPixelSize(size.fontSize());
    QLabel* time = makeLabel(QStringLiteral("0:12"), font, QStringLiteral("#AAAAAA"), capsule);
    time->setAlignment(Qt::AlignCenter);
    const QSize timeSize = time->sizeHint();
    const int timeX = (size.width() - timeSize.width()) / 2;
    time->setGeometry(timeX, (size.height() - timeSize.height()) / 2, timeSize.width(),
                      timeSize.height());

    const int eqY = (size.height() - size.eqHeight()) / 2;
    auto* left = new StaticEQView(capsule);
    left->setGeometry(size.horizontalPad(), eqY, std::max(0, timeX - 6 - size.horizontalPad()),
                      size.eqHeight());
    auto* right = new StaticEQView(capsule);
    const int rightX = timeX + timeSize.width() + 6;
    right->setGeometry(rightX, eqY, std::max(0, size.width() - size.horizontalPad() - rightX),
                       size.eqHeight());
    return capsule;
}

// MARK: - Building

SettingsView::SettingsView(Environment environment, QWidget* parent)
    : QWidget(parent)
    , env_(std::move(environment)) {
    setup();
}

SettingsView::~SettingsView() = default;

void SettingsView::setup() {
    // The page shows the window's dark background through the scroller and the column. The
    // scroll bar floats over the right margin instead of taking room from the column, so the
    // cards keep the same inset on both sides.
    auto* scroll = new QScrollArea(this);
    scrollView_ = scroll;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet(scrollerStyle);
    scroll->viewport()->setAutoFillBackground(false);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);

    overlayScroller_ = new QScrollBar(Qt::Vertical, this);
    overlayScroller_->setStyleSheet(scrollerStyle);
    overlayScroller_->setCursor(Qt::ArrowCursor);
    overlayScroller_->hide();
    QScrollBar* inner = scroll->verticalScrollBar();
    connect(inner, &QScrollBar::rangeChanged, overlayScroller_, [this](int min, int max) {
        overlayScroller_->setRange(min, max);
        overlayScroller_->setPageStep(scrollView_->viewport()->height());
        overlayScroller_->setVisible(max > min);
        overlayScroller_->raise();
    });
    connect(inner, &QScrollBar::valueChanged, overlayScroller_, &QScrollBar::setValue);
    connect(overlayScroller_, &QScrollBar::valueChanged, inner, &QScrollBar::setValue);

    auto* document = new QWidget;
    document->setAutoFillBackground(false);
    auto* stack = new QVBoxLayout(document);
    stack->setSpacing(24);
    stack->setContentsMargins(28, 24, 28, 48);

    micLabel_ = makeLabel(QString(), BrandFonts::figtree(13), QStringLiteral("#E8E8E8"));
    onMicNameChanged();
    QPointer<SettingsView> self(this);
    micObservation_ = env_.center.addObserver(notifications::micNameChanged, &env_.mainQueue,
                                              [self](const Notification&) {
                                                  if (self) {
                                                      self->onMicNameChanged();
                                                  }
                                              });
    stack->addWidget(makeSection(QStringLiteral("Microphone"),
                                 {makeRow(QStringLiteral("Input Device"), micLabel_)}));

    QLabel* escape = makeLabel(QStringLiteral("Esc"), BrandFonts::figtree(13), secondaryLabel);
    QList<QWidget*> hotkeyRows{
        makeRow(QStringLiteral("Toggle"), makeHotkeyPopup(),
                QStringLiteral("Tap to start recording, tap again to stop")),
        makeRow(QStringLiteral("Hold to Record"), makeSwitch(env_.holdMode, holdModeSwitch_),
                QStringLiteral("Hold key to record, release to stop")),
        makeRow(QStringLiteral("Cancel"), escape,
                QStringLiteral("Tap to discard the current recording"))};
    if (env_.inputMethods) {
        const auto [methods, nextStep] = env_.inputMethods();
        inputMethodsLabel_ = makeLabel(QString::fromStdString(methods), BrandFonts::figtree(11),
                                       secondaryLabel);
        hotkeyRows.append(makeRow(QStringLiteral("Works With"), inputMethodsLabel_,
                                  QString::fromStdString(nextStep)));
    }
    stack->addWidget(makeSection(QStringLiteral("Hotkey"), hotkeyRows));

    stack->addWidget(makeSection(
        QStringLiteral("Behavior"),
        {makeRow(QStringLiteral("Auto-Enter"), makeSwitch(env_.autoEnter, autoEnterSwitch_),
                 QStringLiteral("Presses Enter automatically after transcription completes")),
         makeRow(QStringLiteral("Sound Feedback"),
                 makeSwitch(env_.soundFeedback, soundFeedbackSwitch_),
                 QStringLiteral("Play sounds when recording starts, stops, or errors")),
         makeRow(QStringLiteral("Start at Login"),
                 makeSwitch(env_.startAtLogin, startAtLoginSwitch_),
                 QStringLiteral("Start Vantu Skrib at login"))}));

    stack->addWidget(
        makeSection(QStringLiteral("Capsule"),
                    {makeRow(QStringLiteral("Size"), makeSizeSegments(),
                             QStringLiteral("How large the recording indicator appears"))}));
    previewArea_ = new QWidget;
    previewArea_->setFixedHeight(previewAreaHeight);
    auto* previewLayout = new QHBoxLayout(previewArea_);
    previewLayout->setContentsMargins(0, 0, 0, 0);
    capsulePreview_ = buildCapsulePreview(CapsuleSize::stored(env_.defaults));
    previewLayout->addWidget(capsulePreview_, 0, Qt::AlignCenter);
    stack->addWidget(previewArea_);

    // The block builds the popup the section's row shows, and sits under the section.
    styleBlock_ = new StyleBlock({env_.defaults, env_.mainQueue, env_.client});
    stack->addWidget(
        makeSection(QStringLiteral("Transcription Style"),
                    {makeRow(QStringLiteral("Style"), styleBlock_->stylePopup(),
                             QStringLiteral("How your transcriptions are formatted"))}));
    stack->addWidget(styleBlock_);
    vocabBlock_ = new VocabBlock(env_.client, env_.center, env_.mainQueue);
    stack->addWidget(vocabBlock_);
    stack->addStretch(1);

    scroll->setWidget(document);
    document->setAutoFillBackground(false); // setWidget turns it on
}

QWidget* SettingsView::makeSection(const QString& title, const QList<QWidget*>& rows) {
    auto* section = new QWidget;
    auto* column = new QVBoxLayout(section);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    column->addWidget(sectionLabel(title));

    auto* card = new RoundedPanel(hexColor(QStringLiteral("#1F1F21")), 12,
                                  hexColor(QStringLiteral("#2C2C2E")));
    auto* cardRows = new QVBoxLayout(card);
    cardRows->setContentsMargins(0, 0, 0, 0);
    cardRows->setSpacing(0);
    for (int i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            cardRows->addWidget(makeSeparator());
        }
        cardRows->addWidget(rows[i]);
    }
    column->addWidget(card);
    return section;
}

QWidget* SettingsView::makeRow(const QString& title, QWidget* control, const QString& subtitle) {
    return new SettingsRow(title, control, subtitle);
}

QWidget* SettingsView::makeSeparator() {
    return new SeparatorLine(rowInset, hexColor(QStringLiteral("#2C2C2E")));
}

QWidget* SettingsView::makeSwitch(const Switch& setting, QAbstractButton*& out) {
    auto* toggle = new ToggleSwitch;
    toggle->setChecked(setting.get ? setting.get() : false);
    const auto set = setting.set;
    connect(toggle, &QAbstractButton::toggled, this, [set](bool on) {
        if (set) {
            set(on);
        }
    });
    out = toggle;
    return toggle;
}

// MARK: - Hotkey

QWidget* SettingsView::makeHotkeyPopup() {
    hotkeyPopup_ = new PopupButton;
    hotkeyPopup_->setFont(BrandFonts::figtree(13));
    for (const HotkeyOption option : HotkeyOption::allCases()) {
        if (option != HotkeyOption::Case::custom && env_.canSeeKey &&
            !env_.canSeeKey(option.keyCode(env_.defaults))) {
            continue; // it would never fire
        }
        hotkeyPopup_->addItem(QString::fromStdString(option.displayName(env_.defaults)),
                              QString::fromUtf8(option.rawValue().data(),
                                                static_cast<qsizetype>(option.rawValue().size())));
    }
    selectStoredHotkey(hotkeyPopup_);
    connect(hotkeyPopup_, &QComboBox::activated, this, &SettingsView::hotkeySelected);
    return hotkeyPopup_;
}

void SettingsView::selectStoredHotkey(QComboBox* popup) {
    const HotkeyOption stored = HotkeyOption::stored(env_.defaults);
    const int index = popup->findData(QString::fromUtf8(
        stored.rawValue().data(), static_cast<qsizetype>(stored.rawValue().size())));
    if (index >= 0) {
        popup->setCurrentIndex(index);
    }
}

void SettingsView::hotkeySelected(int index) {
    const auto option =
        HotkeyOption::fromRawValue(hotkeyPopup_->itemData(index).toString().toStdString());
    if (!option) {
        return;
    }
    if (option->value() == HotkeyOption::Case::custom) {
        showKeyRecorder(hotkeyPopup_);
        return;
    }
    env_.center.post(notifications::hotkeyChanged, *option);
}

void SettingsView::showKeyRecorder(QComboBox* popup) {
    const std::optional<KeyRecorder::CapturedKey> captured =
        KeyRecorder::record(this, env_.virtualKeyCode);
    if (!captured) {
        selectStoredHotkey(popup);
        return;
    }
    HotkeyOption::saveCustomKey(env_.defaults, captured->code, 0, captured->name.toStdString());
    const int index = popup->findData(QStringLiteral("custom"));
    if (index >= 0) {
        popup->setItemText(index, QStringLiteral("Custom: %1").arg(captured->name));
        popup->setCurrentIndex(index);
    }
    env_.center.post(notifications::hotkeyChanged, HotkeyOption(HotkeyOption::Case::custom));
}

void SettingsView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    overlayScroller_->setGeometry(width() - scrollerWidth, 0, scrollerWidth, height());
    overlayScroller_->raise();
}

// MARK: - Microphone

void SettingsView::onMicNameChanged() {
    const auto name = env_.appState.currentMicName.get();
    micLabel_->setText(name && !name->empty() ? QString::fromStdString(*name)
                                              : QStringLiteral("System Default"));
}

// MARK: - Capsule size

QWidget* SettingsView::makeSizeSegments() {
    auto* control = new QWidget;
    auto* row = new QHBoxLayout(control);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    sizeSegments_ = new QButtonGroup(this);
    sizeSegments_->setExclusive(true);
    const CapsuleSize stored = CapsuleSize::stored(env_.defaults);
    const auto all = CapsuleSize::allCases();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto name = all[i].displayName();
        auto* segment =
            new QPushButton(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
        segment->setCheckable(true);
        segment->setFont(BrandFonts::figtree(12));
        segment->setCursor(Qt::PointingHandCursor);
        const QString corners = i == 0 ? QStringLiteral("border-top-left-radius: 6px;"
                                                        " border-bottom-left-radius: 6px;")
                                : i + 1 == all.size()
                                    ? QStringLiteral("border-top-right-radius: 6px;"
                                                     " border-bottom-right-radius: 6px;")
                                    : QString();
        segment->setStyleSheet(QStringLiteral("QPushButton { color: #E0E0E0; background: #2C2C2E;"
                                              " border: 1px solid #3A3A3C; padding: 3px 12px; %1 }"
                                              " QPushButton:checked { background: #4A4A4E; }")
                                   .arg(corners));
        sizeSegments_->addButton(segment, static_cast<int>(i));
        segment->setChecked(all[i] == stored);
        row->addWidget(segment);
    }
    connect(sizeSegments_, &QButtonGroup::idClicked, this, [this](int) { capsuleSizeSelected(); });
    return control;
}

void SettingsView::capsuleSizeSelected() {
    const int index = sizeSegments_->checkedId();
    const auto all = CapsuleSize::allCases();
    if (index < 0 || index >= static_cast<int>(all.size())) {
        return;
    }
    const CapsuleSize size = all[static_cast<std::size_t>(index)];
    CapsuleSize::save(env_.defaults, size);
    env_.center.post(DictationIndicator::sizeChangedNotification);
    delete capsulePreview_;
    capsulePreview_ = buildCapsulePreview(size);
    auto* layout = static_cast<QHBoxLayout*>(previewArea_->layout());
    layout->addWidget(capsulePreview_, 0, Qt::AlignCenter);
    capsulePreview_->show();
    layout->activate();
}

// MARK: - Transcription style

} // namespace skrib
