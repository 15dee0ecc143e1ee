#pragma once

#include "ui/settings/SettingsWidgets.h"

#include <functional>
#include <vector>

#include <QList>
#include <QPointer>
#include <QStringList>

class QLineEdit;

namespace skrib {

/// The list of custom words: each word a small rounded tag with a "×" button, and a borderless
/// entry field for new words below them. Tags flow from the bottom up: the first row sits just
/// above the entry field, further rows stack above it. The editor sets its own height to fit.
/// Every change is reported through `onChange` as the one word added or removed. Main thread
/// only.
class VocabTagEditor : public RoundedPanel {
public:
    using ChangeHandler = std::function<void(const QString& word, bool added)>;

    static constexpr int sp = 6;    // between tags, tag rows, and the field and the tags
    static constexpr int tagH = 26; // tag height
    static constexpr int pad = 12;  // inner margin on every side
    static constexpr int fieldH = 24;

    /// Shows `words` as they are (no de-duplication); `onChange` is not called for them.
    VocabTagEditor(QStringList words, ChangeHandler onChange, QWidget* parent = nullptr);

    const QStringList& words() const { return words_; }
    /// Shows `words` instead (the field keeps its text); `onChange` is not called.
    void setWords(QStringList words);
    QLineEdit* inputField() const { return inputField_; }
    /// The tags of the last layout pass, in word order.
    const QList<QWidget*>& tags() const { return tags_; }

    /// Adds the field's text, trimmed of spaces and line breaks and then of commas, unless it is
    /// empty (the field keeps it) or already present ignoring case; clears the field.
    void addCurrentWord();
    /// Removes the word at `index` (nothing when out of range).
    void removeWord(int index);
    /// Places the field and rebuilds the tags for the current width, and sets the height.
    void layoutTags();
    /// The height the editor needs for `words` at `width` (with no words 48).
    int neededHeight(int width) const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* makeTag(int index);
    void changed(const QString& word, bool added);

    QStringList words_;
    ChangeHandler onChange_;
    QLineEdit* inputField_;
    QList<QWidget*> tags_;
    bool layingOut_ = false;
};

} // namespace skrib
