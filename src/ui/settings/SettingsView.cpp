#include "ui/settings/SettingsView.h"

#include "app/AppState.h"
#include "app/Notifications.h"
#include "input/HotkeyOption.h"
#include "platform/Defaults.h"
#include "platform/KeyboardHook.h"
#include "platform/NotificationCenter.h"
#include "platform/Scheduler.h"
#include "service/RefineClient.h"
#include "ui/BrandFonts.h"
#include "ui/HexColor.h"
#include "ui/indicator/DictationIndicator.h"
#include "ui/settings/SettingsWidgets.h"
#include "ui/settings/StaticEQView.h"
#include "ui/settings/VocabTagEditor.h"

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
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
constexpr double savedTitleSeconds = 1.5;

const QString savePromptTitle = QStringLiteral("Save Prompt");
const QString savedTitle = QStringLiteral("Saved ✓");

// The system's secondary and tertiary label colours of a dark appearance.
const QString secondaryLabel = QStringLiteral("rgba(255, 255, 255, 140)");
const QString tertiaryLabel = QStringLiteral("rgba(255, 255, 255, 64)");

QLabel* makeLabel(const QString& text, const QFont& font, const QString& color,
                  QWidget* parent = nullptr) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(color));
    return label;
}

/// A wrapping label that never grows wider than its preferred width, and asks for the height
/// of the lines at that width even when its layout offers more.
class NoteLabel : public QLabel {
public:
    static constexpr int preferredWidth = 350;
    using QLabel::QLabel;
    int heightForWidth(int width) const override {
        return QLabel::heightForWidth(std::min(width, preferredWidth));
    }
};

QLabel* wrappingNote(const QString& text, const QFont& font, const QString& color) {
    auto* label = new NoteLabel(text);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(color));
    label->setWordWrap(true);
    label->setMaximumWidth(NoteLabel::preferredWidth);
    return label;
}

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

/// The prompt box: plain text with a green caret.
class PromptBox : public QPlainTextEdit {
public:
    PromptBox() {
        setCursorWidth(0); // the caret is drawn below in its own colour
        setUndoRedoEnabled(true);
        document()->setDocumentMargin(8);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPlainTextEdit::paintEvent(event);
        if (hasFocus() && !isReadOnly()) {
            QPainter painter(viewport());
            const QRect caret = cursorRect();
            painter.fillRect(QRect(caret.left(), caret.top(), 1, caret.height()),
                             hexColor(QStringLiteral("#4ADE80")));
        }
    }
};

// Push buttons in the page's dark palette, whatever the desktop's theme.
const QString buttonStyle =
    QStringLiteral("QPushButton { color: #E0E0E0; background: #2C2C2E; border: 1px solid #3A3A3C;"
                   " border-radius: 6px; padding: 4px 14px; }"
                   " QPushButton:pressed { background: #3A3A3C; }");

constexpr int scrollerWidth = 8;
const QString scrollerStyle = QStringLiteral(
    "QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"
    " QScrollBar:vertical { background: transparent; width: 8px; margin: 0; }"
    " QScrollBar::handle:vertical { background: rgba(255, 255, 255, 40); border-radius: 3px;"
    " min-height: 24px; margin: 1px; }"
    " QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
    " QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");

void stylePromptBox(QPlainTextEdit* box, const QString& textColor, const QString& borderColor) {
    box->setStyleSheet(QStringLiteral("QPlainTextEdit { background: #141416; color: %1;"
                                      " border: 1px solid %2; border-radius: 8px; }")
                           .arg(textColor, borderColor));
}

/// While a key recorder runs: takes the first key press anywhere in the program.
class KeyPressMonitor : public QObject {
public:
    explicit KeyPressMonitor(std::function<bool(const QKeyEvent&)> onKeyPress)
        : onKeyPress_(std::move(onKeyPress)) {
        qApp->installEventFilter(this);
    }
    ~KeyPressMonitor() override { remove(); }
    void remove() {
        if (installed_) {
            qApp->removeEventFilter(this);
            installed_ = false;
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (installed_ && event->type() == QEvent::ShortcutOverride) {
            // No shortcut may take the key from the recorder.
            event->accept();
            return true;
        }
        if (installed_ && event->type() == QEvent::KeyPress) {
            return onKeyPress_(*static_cast<QKeyEvent*>(event));
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<bool(const QKeyEvent&)> onKeyPress_;
    bool installed_ = true;
};

bool isModifierKey(int key) {
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
        return true;
    default:
        return false;
    }
}

bool isPrintable(const QString& text) {
    if (text.isEmpty()) {
        return false;
    }
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control) {
            return false;
        }
    }
    return true;
}

} // namespace

// MARK: - Tables

const std::array<SettingsView::StylePreset, 4>& SettingsView::stylePresets() {
    static const std::array<StylePreset, 4> presets{{
        {"professional", "Professional",
         "Proper capitalization, full punctuation, clean and formal",
         "Proper capitalization — capitalize first letter of each sentence, proper nouns, "
         "acronyms, and titles. Full punctuation — periods, commas, colons, semicolons, question "
         "marks where grammatically appropriate. Structure into clean sentences and paragraphs."},
        {"casual", "Casual", "All lowercase, minimal punctuation, like a text message",
         "Keep everything lowercase — no capitalization at all, like a casual text message. "
         "Minimal punctuation — commas, periods, question marks where needed, but keep it "
         "scrappy."},
        {"minimal", "Minimal", "Barely touch it — just fix speech-to-text errors",
         "Do not change capitalization, punctuation, or sentence structure. Fix only obvious "
         "grammatical errors and misheard words. Keep text as close to the original as "
         "possible."},
        {"custom", "Custom",
         "Add your tone preferences — core transcription rules are always applied", ""},
    }};
    return presets;
}

const SettingsView::StylePreset* SettingsView::stylePreset(const std::string& id) {
    for (const StylePreset& preset : stylePresets()) {
        if (id == preset.id) {
            return &preset;
        }
    }
    return nullptr;
}

bool SettingsView::isDiscardedPrompt(const QString& prompt) {
    return prompt.contains(
               QStringLiteral("CRITICAL: The user message contains a raw transcript")) ||
           prompt.contains(QStringLiteral("You are a text post-processor"));
}

// MARK: - Vocabulary

QStringList SettingsView::splitVocab(const std::string& vocabulary) {
    QStringList words;
    const QStringList pieces = QString::fromStdString(vocabulary).split(QLatin1Char(','));
    for (const QString& piece : pieces) {
        qsizetype start = 0;
        qsizetype end = piece.size();
        const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
        while (start < end && blank(piece.at(start))) {
            ++start;
        }
        while (end > start && blank(piece.at(end - 1))) {
            --end;
        }
        if (end > start) {
            words.append(piece.mid(start, end - start));
        }
    }
    return words;
}

void SettingsView::saveVocab(RefineClient* client, const std::string& vocabulary) {
    if (client == nullptr) {
        return;
    }
    client->saveVocabLocally(vocabulary);
    client->syncVocab(vocabulary);
}

QStringList SettingsView::loadVocabWords() const {
    RefineClient* client = env_.client ? env_.client() : nullptr;
    if (client == nullptr) {
        return {};
    }
    const auto vocabulary = client->loadVocab();
    return vocabulary ? splitVocab(*vocabulary) : QStringList{};
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
    stack->addWidget(makeSection(
        QStringLiteral("Hotkey"),
        {makeRow(QStringLiteral("Toggle"), makeHotkeyPopup(),
                 QStringLiteral("Tap to start recording, tap again to stop")),
         makeRow(QStringLiteral("Hold to Record"), makeSwitch(env_.holdMode, holdModeSwitch_),
                 QStringLiteral("Hold key to record, release to stop")),
         makeRow(QStringLiteral("Cancel"), escape,
                 QStringLiteral("Tap to discard the current recording"))}));

    stack->addWidget(makeSection(
        QStringLiteral("Behavior"),
        {makeRow(QStringLiteral("Auto-Enter"), makeSwitch(env_.autoEnter, autoEnterSwitch_),
                 QStringLiteral("Presses Enter automatically after transcription completes")),
         makeRow(QStringLiteral("Sound Feedback"),
                 makeSwitch(env_.soundFeedback, soundFeedbackSwitch_),
                 QStringLiteral("Play sounds when recording starts, stops, or errors"))}));

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

    stack->addWidget(
        makeSection(QStringLiteral("Transcription Style"),
                    {makeRow(QStringLiteral("Style"), makeStylePopup(),
                             QStringLiteral("How your transcriptions are formatted"))}));
    stack->addWidget(makeStyleBlock());
    stack->addWidget(makeVocabBlock());
    stack->addStretch(1);

    scroll->setWidget(document);
    document->setAutoFillBackground(false); // setWidget turns it on

    // The style the settings hold now; nothing is sent until the user chooses.
    std::string id = env_.defaults.stringValue("stylePreset").value_or("");
    if (id.empty()) {
        id = "professional";
    }
    for (int i = 0; i < stylePopup_->count(); ++i) {
        if (stylePopup_->itemData(i).toString().toStdString() == id) {
            stylePopup_->setCurrentIndex(i);
        }
    }
    showStyle(id, false);
}

QLabel* SettingsView::sectionLabel(const QString& text) {
    return makeLabel(text, BrandFonts::figtree(13), QStringLiteral("#6E6E73"));
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

std::optional<SettingsView::CapturedKey> SettingsView::capturedKey(const QKeyEvent& event) const {
    if (isModifierKey(event.key())) {
        return std::nullopt;
    }
    const std::uint16_t code = env_.virtualKeyCode
                                   ? env_.virtualKeyCode(event.nativeScanCode())
                                   : static_cast<std::uint16_t>(event.nativeScanCode());
    QString text = event.text();
    // With Ctrl held the text is a control character; the key itself names it.
    if (!isPrintable(text) && event.key() > Qt::Key_Space && event.key() < Qt::Key_Escape) {
        const auto key = static_cast<char32_t>(event.key());
        text = QString::fromUcs4(&key, 1);
    }
    if (!isPrintable(text)) {
        return CapturedKey{code, QStringLiteral("Key %1").arg(code)};
    }
    return CapturedKey{code, text.toUpper()};
}

void SettingsView::showKeyRecorder(QComboBox* popup) {
    QDialog alert(this);
    alert.setObjectName(QStringLiteral("keyRecorder"));
    alert.setWindowTitle(QStringLiteral("Press any key"));
    alert.setModal(true);
    // Wide enough for the title bar to show its title in full.
    alert.setMinimumWidth(340);
    alert.setStyleSheet(QStringLiteral("QDialog { background: #1F1F21; }"));
    auto* column = new QVBoxLayout(&alert);
    column->setSpacing(8);
    QFont messageFont = BrandFonts::figtree(14, BrandFonts::Weight::semibold);
    column->addWidget(
        makeLabel(QStringLiteral("Press any key"), messageFont, QStringLiteral("#E0E0E0")));
    column->addWidget(makeLabel(QStringLiteral("Press the key you want to use as your hotkey."),
                                BrandFonts::figtree(12), QStringLiteral("#E0E0E0")));
    QLabel* waiting = makeLabel(QStringLiteral("Waiting for key press…"), BrandFonts::figtree(13),
                                QStringLiteral("#98989D"));
    waiting->setAlignment(Qt::AlignCenter);
    waiting->setFixedSize(250, 24);
    column->addWidget(waiting, 0, Qt::AlignHCenter);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setStyleSheet(buttonStyle);
    connect(cancel, &QPushButton::clicked, &alert, &QDialog::reject);
    column->addWidget(cancel, 0, Qt::AlignRight);

    std::optional<CapturedKey> captured;
    KeyPressMonitor monitor([&](const QKeyEvent& event) {
        const bool escape = event.key() == Qt::Key_Escape ||
                            (env_.virtualKeyCode &&
                             env_.virtualKeyCode(event.nativeScanCode()) == keyCodes::escape);
        if (escape) {
            alert.reject(); // Escape never becomes the hotkey
            return true;
        }
        if (captured) {
            return true;
        }
        captured = capturedKey(event);
        if (!captured) {
            return false;
        }
        alert.done(QDialog::Accepted);
        return true;
    });
    alert.exec();
    monitor.remove();

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

QWidget* SettingsView::makeStylePopup() {
    stylePopup_ = new PopupButton;
    stylePopup_->setFont(BrandFonts::figtree(13));
    for (const StylePreset& preset : stylePresets()) {
        stylePopup_->addItem(QString::fromUtf8(preset.label), QString::fromUtf8(preset.id));
    }
    connect(stylePopup_, &QComboBox::activated, this, &SettingsView::styleSelected);
    return stylePopup_;
}

QWidget* SettingsView::makeStyleBlock() {
    auto* block = new QWidget;
    auto* column = new QVBoxLayout(block);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);

    styleDescription_ = wrappingNote(QString(), BrandFonts::figtree(11), QStringLiteral("#6E6E73"));
    column->addWidget(styleDescription_);

    promptBox_ = new PromptBox;
    promptBox_->setFont(BrandFonts::spaceMono(12));
    promptBox_->setFixedHeight(140);
    promptBox_->setFrameShape(QFrame::NoFrame);
    column->addWidget(promptBox_);

    customNote_ = wrappingNote(
        QStringLiteral("Core transcription rules (word preservation, safety, self-correction "
                       "handling) are always applied. You're customizing the tone and "
                       "formatting style only."),
        BrandFonts::figtree(10), QStringLiteral("#6E6E73"));
    column->addWidget(customNote_);

    savePromptButton_ = new QPushButton(savePromptTitle);
    savePromptButton_->setFont(BrandFonts::figtree(12, BrandFonts::Weight::medium));
    savePromptButton_->setCursor(Qt::PointingHandCursor);
    savePromptButton_->setStyleSheet(buttonStyle);
    connect(savePromptButton_, &QPushButton::clicked, this, &SettingsView::savePrompt);
    column->addWidget(savePromptButton_, 0, Qt::AlignLeft);
    return block;
}

void SettingsView::styleSelected(int index) {
    const std::string id = stylePopup_->itemData(index).toString().toStdString();
    if (stylePreset(id) == nullptr) {
        return;
    }
    env_.defaults.set("stylePreset", DefaultsValue(id));
    showStyle(id, true);
}

void SettingsView::showStyle(const std::string& id, bool selected) {
    const StylePreset* preset = stylePreset(id);
    styleDescription_->setText(preset != nullptr ? QString::fromUtf8(preset->description)
                                                 : QString());
    if (id == "custom") {
        QString prompt =
            QString::fromStdString(env_.defaults.stringValue("customPrompt").value_or(""));
        if (isDiscardedPrompt(prompt)) {
            prompt.clear();
            env_.defaults.set("customPrompt", DefaultsValue(std::string()));
        }
        promptBox_->setPlainText(prompt);
        promptBox_->setReadOnly(false);
        stylePromptBox(promptBox_, QStringLiteral("#E0E0E0"),
                       QStringLiteral("rgba(74, 222, 128, 102)"));
        customNote_->show();
        savePromptButton_->show();
        return;
    }
    promptBox_->setPlainText(preset != nullptr ? QString::fromUtf8(preset->prompt) : QString());
    promptBox_->setReadOnly(true);
    stylePromptBox(promptBox_, QStringLiteral("#98989D"), QStringLiteral("#2C2C2E"));
    customNote_->hide();
    savePromptButton_->hide();
    if (selected && preset != nullptr) {
        if (RefineClient* client = env_.client ? env_.client() : nullptr) {
            client->syncStyle(id, "");
        }
    }
}

void SettingsView::savePrompt() {
    const QString prompt = promptBox_->toPlainText().trimmed();
    if (prompt.isEmpty()) {
        return;
    }
    env_.defaults.set("stylePreset", DefaultsValue(std::string("custom")));
    env_.defaults.set("customPrompt", DefaultsValue(prompt.toStdString()));
    if (RefineClient* client = env_.client ? env_.client() : nullptr) {
        client->syncStyle("custom", prompt.toStdString());
    }
    savePromptButton_->setText(savedTitle);
    QPointer<QPushButton> button(savePromptButton_);
    env_.mainQueue.postAfter(savedTitleSeconds, [button] {
        if (button) {
            button->setText(savePromptTitle);
        }
    });
}

// MARK: - Vocabulary

QWidget* SettingsView::makeVocabBlock() {
    auto* block = new QWidget;
    auto* column = new QVBoxLayout(block);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    column->addWidget(sectionLabel(QStringLiteral("Vocabulary")), 0, Qt::AlignLeft);
    column->addWidget(wrappingNote(
        QStringLiteral("Custom words improve transcription accuracy. Synced to cloud."),
        BrandFonts::figtree(11), tertiaryLabel));
    column->addSpacing(2); // 8 in all below the note
    const auto client = env_.client;
    vocabEditor_ = new VocabTagEditor(loadVocabWords(), [client](const QStringList& words) {
        saveVocab(client ? client() : nullptr, words.join(QStringLiteral(", ")).toStdString());
    });
    column->addWidget(vocabEditor_);
    return block;
}

} // namespace skrib
