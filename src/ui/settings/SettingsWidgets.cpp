#include "ui/settings/SettingsWidgets.h"

#include "ui/BrandFonts.h"
#include "ui/HexColor.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyledItemDelegate>

namespace skrib {

const QString secondaryLabel = QStringLiteral("rgba(255, 255, 255, 140)");
const QString tertiaryLabel = QStringLiteral("rgba(255, 255, 255, 64)");

const QString buttonStyle =
    QStringLiteral("QPushButton { color: #E0E0E0; background: #2C2C2E; border: 1px solid #3A3A3C;"
                   " border-radius: 6px; padding: 4px 14px; }"
                   " QPushButton:pressed { background: #3A3A3C; }");

QLabel* makeLabel(const QString& text, const QFont& font, const QString& color, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(color));
    return label;
}

QLabel* wrappingNote(const QString& text, const QFont& font, const QString& color) {
    auto* label = new NoteLabel(text);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(color));
    label->setWordWrap(true);
    label->setMaximumWidth(NoteLabel::preferredWidth);
    return label;
}

QLabel* sectionLabel(const QString& text) {
    return makeLabel(text, BrandFonts::figtree(13), QStringLiteral("#6E6E73"));
}

RoundedPanel::RoundedPanel(QColor fill, qreal cornerRadius, QColor border, qreal borderWidth,
                           QWidget* parent)
    : QWidget(parent)
    , fill_(fill)
    , radius_(cornerRadius)
    , border_(border)
    , borderWidth_(borderWidth) {}

void RoundedPanel::setBorderColor(const QColor& color) {
    border_ = color;
    update();
}

void RoundedPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The border is stroked inside the bounds so that it is never clipped.
    const qreal half = borderWidth_ / 2;
    const QRectF box = QRectF(rect()).adjusted(half, half, -half, -half);
    QPainterPath path;
    path.addRoundedRect(box, radius_, radius_);
    painter.fillPath(path, fill_);
    if (borderWidth_ > 0) {
        painter.setPen(QPen(border_, borderWidth_));
        painter.drawPath(path);
    }
}

ToggleSwitch::ToggleSwitch(QWidget* parent)
    : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

QSize ToggleSwitch::sizeHint() const {
    return {38, 22};
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    const qreal radius = track.height() / 2;
    QColor fill =
        isChecked() ? hexColor(QStringLiteral("#4ADE80")) : hexColor(QStringLiteral("#3A3A3C"));
    if (!isEnabled()) {
        fill.setAlphaF(0.4f);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(track, radius, radius);
    const qreal knob = track.height() - 4;
    const qreal x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setBrush(QColor(Qt::white));
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
}

PopupButton::PopupButton(QWidget* parent)
    : QComboBox(parent) {
    setCursor(Qt::PointingHandCursor);
    setSizeAdjustPolicy(QComboBox::AdjustToContents);
    // The menu drops down below the button as a plain list (not a menu with scroll arrows
    // drawn in the desktop's colours) and is styled here with the button.
    setStyleSheet(
        QStringLiteral(
            "QComboBox { color: #E0E0E0; background: #2C2C2E; border: 1px solid #3A3A3C;"
            " border-radius: 6px; padding: 3px %1px 3px 10px; combobox-popup: 0; }"
            " QComboBox::drop-down { border: none; width: %1px; }"
            " QComboBox::down-arrow { image: none; width: 0; height: 0; }"
            " QComboBox QAbstractItemView { color: #E0E0E0; background: #2C2C2E;"
            " border: 1px solid #3A3A3C; outline: 0; padding: 3px; selection-color: #FFFFFF;"
            " selection-background-color: #3A3A3C; }"
            " QComboBox QAbstractItemView::item { min-height: 22px; padding: 0 6px;"
            " border-radius: 4px; }"
            " QComboBox QAbstractItemView::item:selected, QComboBox QAbstractItemView::item:hover"
            " { background: #3A3A3C; color: #FFFFFF; }")
            .arg(chevronArea));
    // The styled delegate is the one that follows the item rules above.
    setItemDelegate(new QStyledItemDelegate(this));
}

QColor PopupButton::chevronColor() {
    return hexColor(QStringLiteral("#98989D"));
}

void PopupButton::paintEvent(QPaintEvent* event) {
    QComboBox::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(chevronColor(), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const qreal cx = width() - chevronArea / 2.0 - 1;
    const qreal cy = height() / 2.0;
    const QPointF up[] = {{cx - 3, cy - 1.5}, {cx, cy - 4.5}, {cx + 3, cy - 1.5}};
    const QPointF down[] = {{cx - 3, cy + 1.5}, {cx, cy + 4.5}, {cx + 3, cy + 1.5}};
    painter.drawPolyline(up, 3);
    painter.drawPolyline(down, 3);
}

SeparatorLine::SeparatorLine(int inset, QColor color, QWidget* parent)
    : QWidget(parent)
    , inset_(inset)
    , color_(color) {
    setFixedHeight(1);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void SeparatorLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(QRectF(inset_, 0, width() - inset_, 0.5), color_);
}

} // namespace skrib
