#include "ui/settings/SettingsWidgets.h"

#include "ui/HexColor.h"

#include <QPainter>
#include <QPainterPath>

namespace skrib {

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
