#pragma once

#include <algorithm>

#include <QAbstractButton>
#include <QColor>
#include <QComboBox>
#include <QLabel>
#include <QString>
#include <QWidget>

namespace skrib {

// The system's secondary and tertiary label colours of a dark appearance, as style sheet colours.
extern const QString secondaryLabel;
extern const QString tertiaryLabel;

/// The style sheet of push buttons in the page's dark palette, whatever the desktop's theme.
extern const QString buttonStyle;

/// A label of `text` in `font` and the style sheet colour `color`, on a transparent background.
QLabel* makeLabel(const QString& text, const QFont& font, const QString& color,
                  QWidget* parent = nullptr);

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

/// A note under a row or a heading: a `NoteLabel` of `text` that wraps its lines.
QLabel* wrappingNote(const QString& text, const QFont& font, const QString& color);

/// The grey heading above a card or a block of the page.
QLabel* sectionLabel(const QString& text);

/// A rounded rectangle with a fill and a hairline border, drawn behind its children: the cards
/// of the settings page, the vocabulary editor and its tags, the capsule preview.
class RoundedPanel : public QWidget {
public:
    RoundedPanel(QColor fill, qreal cornerRadius, QColor border, qreal borderWidth = 0.5,
                 QWidget* parent = nullptr);

    QColor fillColor() const { return fill_; }
    QColor borderColor() const { return border_; }
    qreal cornerRadius() const { return radius_; }
    void setBorderColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_;
    qreal radius_;
    QColor border_;
    qreal borderWidth_;
};

/// An on/off switch: a small green pill with a white knob when on, grey when off. Checkable;
/// a click flips it and emits `toggled`.
class ToggleSwitch : public QAbstractButton {
public:
    explicit ToggleSwitch(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

/// A pop-up menu button of the dark page: the chosen item's title on a rounded grey plate with
/// an up-and-down chevron at the right, and a dark menu list. The look is its own, whatever
/// the desktop's theme.
class PopupButton : public QComboBox {
public:
    explicit PopupButton(QWidget* parent = nullptr);

    /// The colour the chevron is drawn in.
    static QColor chevronColor();
    /// Width kept free at the right for the chevron.
    static constexpr int chevronArea = 24;

protected:
    void paintEvent(QPaintEvent* event) override;
};

/// A hairline rule between the rows of a card, starting `inset` from the leading edge.
class SeparatorLine : public QWidget {
public:
    explicit SeparatorLine(int inset, QColor color, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int inset_;
    QColor color_;
};

} // namespace skrib
