#include "ui/AppIcon.h"

#include <array>

#include <QPainter>
#include <QPainterPath>

namespace skrib {

QImage appIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (size <= 0) {
        return image;
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 64.0;

    // The tile: near-black with a faint rim, like the capsule.
    const QRectF tile(2 * unit, 2 * unit, 60 * unit, 60 * unit);
    QPainterPath path;
    path.addRoundedRect(tile, 14 * unit, 14 * unit);
    painter.fillPath(path, QColor(0x11, 0x11, 0x14));
    painter.setPen(QPen(QColor(255, 255, 255, 36), std::max(1.0, unit)));
    painter.drawPath(path);

    // Five level bars, tallest in the middle, in the recording green.
    constexpr std::array<qreal, 5> heights{14, 26, 38, 26, 14};
    const qreal barWidth = 6 * unit;
    const qreal pitch = 10 * unit;
    const qreal left = 32 * unit - (heights.size() - 1) * pitch / 2 - barWidth / 2;
    painter.setPen(Qt::NoPen);
    for (std::size_t i = 0; i < heights.size(); ++i) {
        const qreal height = heights[i] * unit;
        const QRectF bar(left + static_cast<qreal>(i) * pitch, 32 * unit - height / 2, barWidth,
                         height);
        painter.setBrush(i == 2 ? QColor(0x4A, 0xDE, 0x80) : QColor(0x2E, 0xD1, 0x8C));
        painter.drawRoundedRect(bar, barWidth / 2, barWidth / 2);
    }
    return image;
}

QIcon appIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(QPixmap::fromImage(appIconImage(size)));
    }
    return icon;
}

} // namespace skrib
