#include "ui/settings/VocabTagEditor.h"

#include "ui/BrandFonts.h"
#include "ui/HexColor.h"

#include <algorithm>
#include <cstdlib>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace skrib {
namespace {

QFont wordFont() {
    return BrandFonts::figtree(12);
}
QFont removeFont() {
    return BrandFonts::figtree(13);
}

int wordWidth(const QString& word) {
    return QFontMetrics(wordFont()).horizontalAdvance(word) + 1;
}
int removeButtonWidth() {
    return QFontMetrics(removeFont()).horizontalAdvance(QStringLiteral("×")) + 4;
}
int tagWidth(const QString& word) {
    return wordWidth(word) + 14 + removeButtonWidth() + 8;
}

struct Flow {
    std::vector<QPoint> origins; // per word, measured from the tag area's bottom-left corner
    int lastRowY = 0;
};

Flow flow(const QStringList& words, int usableWidth) {
    Flow out;
    int x = 0;
    int y = 0;
    for (const QString& word : words) {
        const int w = tagWidth(word);
        if (x + w > usableWidth && x > 0) {
            x = 0;
            y += VocabTagEditor::tagH + VocabTagEditor::sp;
        }
        out.origins.push_back({x, y});
        x += w + VocabTagEditor::sp;
    }
    out.lastRowY = y;
    return out;
}

QString trimmedWord(const QString& text) {
    QString word = text.trimmed();
    // Spaces and line breaks first, then commas: " alpha, " gives "alpha".
    qsizetype start = 0;
    qsizetype end = word.size();
    while (start < end && word.at(start) == QLatin1Char(',')) {
        ++start;
    }
    while (end > start && word.at(end - 1) == QLatin1Char(',')) {
        --end;
    }
    return word.mid(start, end - start);
}

} // namespace

VocabTagEditor::VocabTagEditor(QStringList words, ChangeHandler onChange, QWidget* parent)
    : RoundedPanel(hexColor(QStringLiteral("#1F1F21")), 10, hexColor(QStringLiteral("#2C2C2E")),
                   0.5, parent)
    , words_(std::move(words))
    , onChange_(std::move(onChange))
    , inputField_(new QLineEdit(this)) {
    setFixedHeight(44);
    inputField_->setFont(BrandFonts::figtree(13));
    inputField_->setFrame(false);
    inputField_->setPlaceholderText(QStringLiteral("Type a word and press Enter…"));
    inputField_->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; border: none;"
                                              " color: #E0E0E0; padding: 0; }"));
    // Return and leaving the field both end editing, so a typed word is never lost.
    connect(inputField_, &QLineEdit::editingFinished, this, [this] { addCurrentWord(); });
    inputField_->installEventFilter(this);
}

void VocabTagEditor::changed(const QString& word, bool added) {
    if (onChange_) {
        onChange_(word, added);
    }
}

void VocabTagEditor::setWords(QStringList words) {
    words_ = std::move(words);
    layoutTags();
}

void VocabTagEditor::addCurrentWord() {
    const QString word = trimmedWord(inputField_->text());
    if (word.isEmpty()) {
        return;
    }
    const QString lower = word.toLower();
    const bool present = std::any_of(words_.cbegin(), words_.cend(),
                                     [&](const QString& w) { return w.toLower() == lower; });
    if (!present) {
        words_.append(word);
        changed(word, true);
    }
    inputField_->clear();
    layoutTags();
}

void VocabTagEditor::removeWord(int index) {
    if (index < 0 || index >= words_.size()) {
        return;
    }
    changed(words_.takeAt(index), false);
    layoutTags();
}

bool VocabTagEditor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == inputField_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Backspace && inputField_->text().isEmpty() && !words_.isEmpty()) {
            removeWord(static_cast<int>(words_.size()) - 1);
            return true;
        }
    }
    return RoundedPanel::eventFilter(watched, event);
}

int VocabTagEditor::neededHeight(int width) const {
    const int usable = width - 2 * pad;
    int height = pad + fieldH + pad;
    if (!words_.isEmpty()) {
        height += sp + flow(words_, usable).lastRowY + tagH;
    }
    return height;
}

QWidget* VocabTagEditor::makeTag(int index) {
    const QString& word = words_.at(index);
    auto* tag = new RoundedPanel(hexColor(QStringLiteral("#2C2C2E")), 6,
                                 hexColor(QStringLiteral("#3A3A3C")), 0.5, this);
    const int wordW = wordWidth(word);
    const int buttonW = removeButtonWidth();
    const int w = tagWidth(word);
    tag->setFixedSize(w, tagH);

    auto* label = new QLabel(word, tag);
    label->setFont(wordFont());
    label->setStyleSheet(QStringLiteral("color: #E0E0E0; background: transparent;"));
    const int labelH = label->sizeHint().height();
    label->setGeometry(10, (tagH - labelH) / 2, wordW, labelH);

    auto* remove = new QPushButton(QStringLiteral("×"), tag);
    remove->setFont(removeFont());
    remove->setFlat(true);
    remove->setCursor(Qt::PointingHandCursor);
    remove->setFocusPolicy(Qt::NoFocus);
    remove->setStyleSheet(QStringLiteral(
        "QPushButton { color: #6E6E73; background: transparent; border: none; padding: 0; }"));
    remove->setGeometry(w - 6 - buttonW, (tagH - 18) / 2, buttonW, 18);
    QPointer<VocabTagEditor> editor(this);
    connect(remove, &QPushButton::clicked, this, [editor, index] {
        if (editor) {
            editor->removeWord(index);
        }
    });
    tag->show();
    return tag;
}

void VocabTagEditor::layoutTags() {
    const int width = this->width();
    if (width <= 0) {
        return;
    }
    // The tag whose "×" was clicked is still delivering that click: delete tags later.
    for (QWidget* tag : std::as_const(tags_)) {
        tag->hide();
        tag->deleteLater();
    }
    tags_.clear();

    const int needed = neededHeight(width);
    if (std::abs(needed - height()) > 1) {
        // The resize this causes needs no pass of its own: everything is placed for `needed`.
        layingOut_ = true;
        setFixedHeight(needed);
        layingOut_ = false;
        updateGeometry();
    }
    const int usable = width - 2 * pad;
    // Measured from the bottom: the field at `pad`, the tag area right above it.
    inputField_->setGeometry(pad + 2, needed - pad - fieldH, usable - 2, fieldH);
    const int tagAreaBottom = pad + fieldH + (words_.isEmpty() ? 0 : sp);
    const Flow placed = flow(words_, usable);
    for (int i = 0; i < words_.size(); ++i) {
        QWidget* tag = makeTag(i);
        const QPoint origin = placed.origins[static_cast<std::size_t>(i)];
        tag->move(pad + origin.x(), needed - (tagAreaBottom + origin.y() + tagH));
        tags_.append(tag);
    }
}

void VocabTagEditor::resizeEvent(QResizeEvent* event) {
    RoundedPanel::resizeEvent(event);
    if (!layingOut_) {
        layoutTags();
    }
}

} // namespace skrib
