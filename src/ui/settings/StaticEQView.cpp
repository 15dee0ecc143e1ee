#include "ui/settings/StaticEQView.h"

#include <algorithm>
#include <cmath>

#include <QPainter>

namespace skrib {

StaticEQView::StaticEQView(QWidget* parent)
    : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

double StaticEQView::level(int index) {
    return std::abs(std::sin(1.7 * index + 0.5)) * 0.65 + 0.3;
}

QColor StaticEQView::barColor(double level) {
    if (level > 0.4) {
        return QColor::fromRgbF(0.18f, 0.82f, 0.55f, static_cast<float>(level * 0.3 + 0.7));
    }
    return QColor::fromRgbF(0.15f, 0.55f, 0.4f, static_cast<float>(level * 0.5 + 0.35));
}

std::vector<StaticEQView::Bar> StaticEQView::bars(QSizeF size) {
    std::vector<Bar> out;
    const double width = size.width();
    const double height = size.height();
    if (!(width > 0) || !(height > 0)) {
        return out;
    }
    const int count = std::max(3, static_cast<int>(width / pitch));
    const double total = barWidth * count + barGap * (count - 1);
    const double start = (width - total) / 2;
    const double middle = height / 2;
    out.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const double l = level(i);
        const double half = std::max(1.5, l * (height / 2 - 1));
        out.push_back(
            {QRectF(start + i * pitch, middle - half, barWidth, 2 * half), barColor(l), l});
    }
    return out;
}

void StaticEQView::paintEvent(QPaintEvent*) {
    const auto all = bars(size());
    if (all.empty()) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    for (const Bar& bar : all) {
        painter.setBrush(bar.color);
        painter.drawRoundedRect(bar.rect, barWidth / 2, barWidth / 2);
    }
}

} // namespace skrib
