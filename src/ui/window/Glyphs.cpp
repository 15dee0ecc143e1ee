#include "ui/window/Glyphs.h"

#include <cmath>

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace skrib {
namespace {

// Every glyph is drawn on a 16 × 16 grid and scaled to the requested size.
void drawHouse(QPainter& p, const QColor& tint) {
    QPainterPath roof;
    roof.moveTo(1.5, 8.0);
    roof.lineTo(8.0, 1.8);
    roof.lineTo(14.5, 8.0);
    p.setPen(QPen(tint, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(roof);

    QPainterPath body;
    body.moveTo(3.5, 7.5);
    body.lineTo(8.0, 3.3);
    body.lineTo(12.5, 7.5);
    body.lineTo(12.5, 14.0);
    body.lineTo(9.6, 14.0);
    body.lineTo(9.6, 10.2);
    body.lineTo(6.4, 10.2);
    body.lineTo(6.4, 14.0);
    body.lineTo(3.5, 14.0);
    body.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(tint);
    p.drawPath(body);
}

void drawGear(QPainter& p, const QColor& tint) {
    constexpr int teeth = 8;
    constexpr double pi = 3.14159265358979323846;
    QPainterPath outline;
    for (int i = 0; i < teeth * 2; ++i) {
        // Alternate between the tip of a tooth and the gap, two points each for flat tops.
        const double radius = (i % 2 == 0) ? 7.0 : 5.3;
        const double centre = i * pi / teeth;
        const double half = (i % 2 == 0) ? 0.17 : 0.22;
        const QPointF a(8.0 + radius * std::cos(centre - half),
                        8.0 + radius * std::sin(centre - half));
        const QPointF b(8.0 + radius * std::cos(centre + half),
                        8.0 + radius * std::sin(centre + half));
        if (i == 0) {
            outline.moveTo(a);
        } else {
            outline.lineTo(a);
        }
        outline.lineTo(b);
    }
    outline.closeSubpath();
    p.setPen(QPen(tint, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(outline);
    p.drawEllipse(QPointF(8.0, 8.0), 2.2, 2.2);
}

void drawInfoCircle(QPainter& p, const QColor& tint) {
    p.setPen(QPen(tint, 1.3));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(8.0, 8.0), 6.6, 6.6);
    p.setPen(Qt::NoPen);
    p.setBrush(tint);
    p.drawEllipse(QPointF(8.0, 4.9), 1.0, 1.0);
    p.drawRoundedRect(QRectF(7.2, 6.9, 1.6, 5.0), 0.6, 0.6);
}

void drawCopy(QPainter& p, const QColor& tint) {
    p.setPen(QPen(tint, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    // The back sheet shows only where the front one does not cover it.
    QPainterPath back;
    back.moveTo(4.0, 10.5);
    back.lineTo(2.5, 10.5);
    back.lineTo(2.5, 1.8);
    back.lineTo(9.5, 1.8);
    back.lineTo(9.5, 4.5);
    p.drawPath(back);
    p.drawRoundedRect(QRectF(5.5, 5.0, 8.0, 9.5), 1.5, 1.5);
}

void drawCheckmark(QPainter& p, const QColor& tint) {
    QPainterPath tick;
    tick.moveTo(2.5, 8.5);
    tick.lineTo(6.3, 12.3);
    tick.lineTo(13.5, 3.8);
    p.setPen(QPen(tint, 1.9, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
}

} // namespace

QImage glyphImage(Glyph glyph, const QColor& tint, int size) {
    QImage image(std::max(size, 1), std::max(size, 1), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (size <= 0) {
        return image;
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);
    switch (glyph) {
    case Glyph::house:
        drawHouse(painter, tint);
        break;
    case Glyph::gear:
        drawGear(painter, tint);
        break;
    case Glyph::infoCircle:
        drawInfoCircle(painter, tint);
        break;
    case Glyph::copy:
        drawCopy(painter, tint);
        break;
    case Glyph::checkmark:
        drawCheckmark(painter, tint);
        break;
    }
    return image;
}

QIcon glyphIcon(Glyph glyph, const QColor& tint) {
    QIcon icon;
    for (const int size : {12, 16, 24, 32, 48}) {
        icon.addPixmap(QPixmap::fromImage(glyphImage(glyph, tint, size)));
    }
    return icon;
}

} // namespace skrib
