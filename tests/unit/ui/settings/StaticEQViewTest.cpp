#include "ui/settings/StaticEQView.h"

#include <cmath>
#include <gtest/gtest.h>
#include <ostream>

#include <QImage>

namespace skrib {
namespace {

struct BarsCase {
    const char* name;
    QSizeF size;
    int count;
    double firstX;
    friend void PrintTo(const BarsCase& c, std::ostream* os) { *os << c.name; }
};

class StaticBars : public ::testing::TestWithParam<BarsCase> {};

TEST_P(StaticBars, CountPitchAndCentring) {
    const BarsCase& c = GetParam();
    const auto bars = StaticEQView::bars(c.size);
    ASSERT_EQ(static_cast<int>(bars.size()), c.count);
    if (bars.empty()) {
        return;
    }
    EXPECT_DOUBLE_EQ(bars.front().rect.x(), c.firstX);
    // Centred: as much room after the last bar as before the first.
    EXPECT_NEAR(c.size.width() - bars.back().rect.right(), bars.front().rect.x(), 1e-9);
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const auto& bar = bars[i];
        EXPECT_DOUBLE_EQ(bar.rect.width(), 2.5);
        EXPECT_NEAR(bar.rect.x(), c.firstX + 5.5 * static_cast<double>(i), 1e-9);
        EXPECT_NEAR(bar.rect.center().y(), c.size.height() / 2, 1e-9);
        const double level = std::abs(std::sin(1.7 * static_cast<double>(i) + 0.5)) * 0.65 + 0.3;
        EXPECT_NEAR(bar.level, level, 1e-12);
        const double half = std::max(1.5, level * (c.size.height() / 2 - 1));
        EXPECT_NEAR(bar.rect.height(), 2 * half, 1e-9);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Capsule, StaticBars,
    ::testing::Values(BarsCase{"TenBarsIn55", {55, 22}, 10, 1.5},
                      BarsCase{"FractionalWidthRoundsDown", {60.4, 14}, 10, 4.2},
                      BarsCase{"AtLeastThreeWhenNarrow", {10, 14}, 3, -1.75},
                      BarsCase{"FlatViewKeepsMinimumHeight", {33, 3}, 6, 1.5},
                      BarsCase{"NoWidth", {0, 14}, 0, 0}, BarsCase{"NoHeight", {40, 0}, 0, 0},
                      BarsCase{"NegativeWidth", {-5, 14}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StaticBars, BrightAboveFourTenthsDarkOtherwise) {
    const QColor bright = StaticEQView::barColor(0.41);
    EXPECT_NEAR(bright.redF(), 0.18, 0.005);
    EXPECT_NEAR(bright.greenF(), 0.82, 0.005);
    EXPECT_NEAR(bright.blueF(), 0.55, 0.005);
    EXPECT_NEAR(bright.alphaF(), 0.41 * 0.3 + 0.7, 0.005);
    const QColor dark = StaticEQView::barColor(0.4);
    EXPECT_NEAR(dark.redF(), 0.15, 0.005);
    EXPECT_NEAR(dark.greenF(), 0.55, 0.005);
    EXPECT_NEAR(dark.blueF(), 0.4, 0.005);
    EXPECT_NEAR(dark.alphaF(), 0.4 * 0.5 + 0.35, 0.005);
    // Bar 9 of a row is the first low one.
    EXPECT_LE(StaticEQView::level(9), 0.4);
    EXPECT_GT(StaticEQView::level(8), 0.4);
}

TEST(StaticBars, DrawsOneColumnRunPerBar) {
    for (const int width : {55, 80}) {
        StaticEQView view;
        view.resize(width, 22);
        QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        view.render(&image, {}, {}, QWidget::DrawChildren);
        int runs = 0;
        bool inBar = false;
        int firstPainted = -1;
        for (int x = 0; x < width; ++x) {
            const bool painted = qAlpha(image.pixel(x, 11)) > 0;
            if (painted && !inBar) {
                ++runs;
                firstPainted = firstPainted < 0 ? x : firstPainted;
            }
            inBar = painted;
        }
        EXPECT_EQ(runs, static_cast<int>(StaticEQView::bars(view.size()).size())) << width;
        EXPECT_EQ(firstPainted, static_cast<int>(StaticEQView::bars(view.size())[0].rect.x()));
        // Nothing beyond the bars' height.
        EXPECT_EQ(qAlpha(image.pixel(width / 2, 0)), 0);
    }
}

} // namespace
} // namespace skrib
