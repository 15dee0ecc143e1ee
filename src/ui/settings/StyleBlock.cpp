#include "ui/settings/StyleBlock.h"

#include "platform/Defaults.h"
#include "platform/Scheduler.h"
#include "service/RefineClient.h"
#include "ui/BrandFonts.h"
#include "ui/HexColor.h"
#include "ui/settings/SettingsWidgets.h"

#include <QComboBox>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace skrib {
namespace {

constexpr double savedTitleSeconds = 1.5;

const QString savePromptTitle = QStringLiteral("Save Prompt");
const QString savedTitle = QStringLiteral("Saved ✓");

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

void stylePromptBox(QPlainTextEdit* box, const QString& textColor, const QString& borderColor) {
    box->setStyleSheet(QStringLiteral("QPlainTextEdit { background: #141416; color: %1;"
                                      " border: 1px solid %2; border-radius: 8px; }")
                           .arg(textColor, borderColor));
}

} // namespace

// MARK: - Table

const std::array<StyleBlock::StylePreset, 4>& StyleBlock::stylePresets() {
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

const StyleBlock::StylePreset* StyleBlock::stylePreset(const std::string& id) {
    for (const StylePreset& preset : stylePresets()) {
        if (id == preset.id) {
            return &preset;
        }
    }
    return nullptr;
}

bool StyleBlock::isDiscardedPrompt(const QString& prompt) {
    return prompt.contains(
               QStringLiteral("CRITICAL: The user message contains a raw transcript")) ||
           prompt.contains(QStringLiteral("You are a text post-processor"));
}

// MARK: - Building

StyleBlock::StyleBlock(Environment environment, QWidget* parent)
    : QWidget(parent)
    , env_(std::move(environment)) {
    stylePopup_ = new PopupButton(this);
    stylePopup_->setFont(BrandFonts::figtree(13));
    for (const StylePreset& preset : stylePresets()) {
        stylePopup_->addItem(QString::fromUtf8(preset.label), QString::fromUtf8(preset.id));
    }
    connect(stylePopup_, &QComboBox::activated, this, &StyleBlock::styleSelected);

    auto* column = new QVBoxLayout(this);
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
    connect(savePromptButton_, &QPushButton::clicked, this, &StyleBlock::savePrompt);
    column->addWidget(savePromptButton_, 0, Qt::AlignLeft);

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

StyleBlock::~StyleBlock() = default;

// MARK: - Choosing

void StyleBlock::styleSelected(int index) {
    const std::string id = stylePopup_->itemData(index).toString().toStdString();
    if (stylePreset(id) == nullptr) {
        return;
    }
    env_.defaults.set("stylePreset", DefaultsValue(id));
    showStyle(id, true);
}

void StyleBlock::showStyle(const std::string& id, bool selected) {
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

void StyleBlock::savePrompt() {
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

} // namespace skrib
