#pragma once

#include <vector>

#include <QColor>
#include <QRectF>
#include <QSizeF>
#include <QWidget>

namespace skrib {

/// A still row of level bars, the picture inside the capsule preview: bars 2.5 wide at a pitch
/// of 5.5, centred in the view, each at a fixed level that varies along the row. Not animated.
class StaticEQView : public QWidget {
    Q_OBJECT
public:
    struct Bar {
        QRectF rect;
        QColor color;
        double level;
    };

    static constexpr double barWidth = 2.5;
    static constexpr double barGap = 3.0;
    static constexpr double pitch = barWidth + barGap;

    explicit StaticEQView(QWidget* parent = nullptr);

    /// The bars a view of `size` draws: none when either side is not positive, otherwise
    /// max(3, width ÷ 5.5) bars, centred horizontally and vertically.
    static std::vector<Bar> bars(QSizeF size);
    /// The fixed level of bar `index`, between 0.3 and 0.95.
    static double level(int index);
    /// Bright green above level 0.4, dark green at or below it.
    static QColor barColor(double level);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace skrib
