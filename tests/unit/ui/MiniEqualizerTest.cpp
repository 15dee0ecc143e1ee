#include "ui/indicator/MiniEqualizer.h"

#include "FakeScheduler.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <vector>

#include <QImage>
#include <QScreen>

namespace skrib {
namespace {

using testing::FakeScheduler;

// A random source whose phases start at `phase` and step by `step` every frame, remembering
// the ranges it was asked for.
struct ScriptedRandom {
    double phase = 0;
    double step = 0.1;
    std::vector<std::tuple<double, double, bool>> asked;

    MiniEqualizer::RandomSource source() {
        return [this](double low, double high, bool closed) {
            asked.emplace_back(low, high, closed);
            return closed ? step : phase;
        };
    }
};

// A shown equalizer of the given size; showing delivers the size to its layout.
struct Fixture {
    FakeScheduler scheduler;
    MiniEqualizer eq{scheduler};

    Fixture(int w, int h, ScriptedRandom* random = nullptr) {
        if (random != nullptr) {
            eq.setRandomSource(random->source());
        }
        eq.resize(w, h);
        eq.show();
    }
};

QImage grab(QWidget& w) {
    return w.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

struct WidthCase {
    int width;
    int bars;
};

class MiniEqualizerWidthTest : public ::testing::TestWithParam<WidthCase> {};

TEST_P(MiniEqualizerWidthTest, FitsAsManyBarsAsTheWidthHoldsButAtLeastThree) {
    Fixture f(GetParam().width, 14);
    EXPECT_EQ(f.eq.barCount(), GetParam().bars);
}

INSTANTIATE_TEST_SUITE_P(Widths, MiniEqualizerWidthTest,
                         ::testing::Values(WidthCase{1, 3}, WidthCase{10, 3}, WidthCase{16, 3},
                                           WidthCase{22, 4}, WidthCase{30, 5}, WidthCase{33, 6},
                                           WidthCase{66, 12}, WidthCase{100, 18}),
                         [](const auto& info) { return std::to_string(info.param.width); });

TEST(MiniEqualizer, ACountThatDoesNotChangeKeepsTheArrays) {
    Fixture f(30, 14); // five bars, as at construction: nothing is laid out
    EXPECT_EQ(f.eq.barCount(), 5);
    EXPECT_TRUE(f.eq.barHeights().empty());
    EXPECT_TRUE(f.eq.barWeights().empty());

    f.eq.resize(66, 14);
    ASSERT_EQ(f.eq.barHeights().size(), 12u);
    const auto phases = f.eq.barPhases();
    f.eq.resize(67, 14); // still twelve
    EXPECT_EQ(f.eq.barPhases(), phases);
    f.eq.resize(0, 14); // no width: no layout
    EXPECT_EQ(f.eq.barCount(), 12);
}

TEST(MiniEqualizer, WeightsAreFixedAndTheSameEveryRun) {
    Fixture f(66, 14);
    const std::vector<float> expected{0.600f, 0.947f, 0.689f, 0.924f, 0.773f, 0.879f};
    ASSERT_EQ(f.eq.barWeights().size(), 12u);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(f.eq.barWeights()[i], expected[i], 0.0006) << "bar " << i;
    }
    for (float w : f.eq.barWeights()) {
        EXPECT_GE(w, 0.6f);
        EXPECT_LE(w, 0.95f);
    }
    Fixture other(66, 14);
    EXPECT_EQ(other.eq.barWeights(), f.eq.barWeights());
}

TEST(MiniEqualizer, PhasesAreFreshAtLayoutAndResetAndStayInRange) {
    ScriptedRandom random;
    random.phase = 2.5;
    Fixture f(66, 14, &random);
    ASSERT_EQ(f.eq.barPhases().size(), 12u);
    for (const auto& [low, high, closed] : random.asked) {
        EXPECT_EQ(low, 0.0);
        EXPECT_EQ(high, 6.28);
        EXPECT_FALSE(closed) << "phases are drawn from [0, 6.28)";
    }
    for (float p : f.eq.barPhases()) {
        EXPECT_FLOAT_EQ(p, 2.5f);
    }
    random.phase = 4.0;
    random.asked.clear();
    f.eq.reset();
    EXPECT_EQ(random.asked.size(), 12u);
    for (float p : f.eq.barPhases()) {
        EXPECT_FLOAT_EQ(p, 4.0f);
    }
}

TEST(MiniEqualizer, PhaseStepsAreRandomWithinTheirClosedRange) {
    Fixture f(66, 14); // the real random source
    for (float p : f.eq.barPhases()) {
        EXPECT_GE(p, 0.0f);
        EXPECT_LT(p, 6.28f);
    }
    double smallest = 1;
    double largest = 0;
    for (int frame = 0; frame < 200; ++frame) {
        const auto before = f.eq.barPhases();
        f.eq.tick();
        for (std::size_t i = 0; i < before.size(); ++i) {
            const double step = f.eq.barPhases()[i] - before[i];
            smallest = std::min(smallest, step);
            largest = std::max(largest, step);
        }
    }
    EXPECT_GE(smallest, 0.08 - 1e-4);
    EXPECT_LE(largest, 0.15 + 1e-4);
    EXPECT_GT(largest - smallest, 0.05) << "steps vary across the range";
}

struct LevelCase {
    const char* name;
    float level;
    double norm;
};

class MiniEqualizerTickTest : public ::testing::TestWithParam<LevelCase> {};

// With the wobble held at its peak (phase π/2 after one step), one frame moves each bar 40 % of
// the way up to norm × weight × (h/2 − 1) above rest, and a silent frame then brings it 15 % of
// the way back down.
TEST_P(MiniEqualizerTickTest, BarsRiseFastAndFallSlowly) {
    const LevelCase& c = GetParam();
    ScriptedRandom random;
    random.step = 0.08;
    random.phase = std::numbers::pi / 2 - 0.08;
    Fixture f(66, 22, &random); // maxH = 10
    f.eq.pushLevel(c.level);
    f.eq.tick();
    const auto& weights = f.eq.barWeights();
    std::vector<double> risen;
    for (std::size_t i = 0; i < 12; ++i) {
        const double target = c.norm * weights[i] * 10.0 + 1.5;
        EXPECT_NEAR(f.eq.targetHeights()[i], target, 1e-4) << "bar " << i;
        EXPECT_NEAR(f.eq.barHeights()[i], 1.5 + 0.4 * (target - 1.5), 1e-4) << "bar " << i;
        risen.push_back(f.eq.barHeights()[i]);
    }
    f.eq.pushLevel(0);
    f.eq.tick();
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_DOUBLE_EQ(f.eq.targetHeights()[i], 1.5);
        EXPECT_NEAR(f.eq.barHeights()[i], risen[i] + (1.5 - risen[i]) * 0.15, 1e-9);
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, MiniEqualizerTickTest,
                         ::testing::Values(LevelCase{"Silent", 0.0f, 0.0},
                                           LevelCase{"Fifth", 0.01f, 0.2},
                                           LevelCase{"Half", 0.025f, 0.5},
                                           LevelCase{"Full", 0.05f, 1.0},
                                           LevelCase{"BeyondFull", 1.0f, 1.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MiniEqualizer, TheWobbleKeepsTargetsBetweenSeventyAndAHundredPercent) {
    Fixture f(66, 22);
    f.eq.pushLevel(1.0f);
    double lowest = 1;
    double highest = 0;
    for (int frame = 0; frame < 300; ++frame) {
        f.eq.tick();
        for (std::size_t i = 0; i < 12; ++i) {
            const double share = (f.eq.targetHeights()[i] - 1.5) / (f.eq.barWeights()[i] * 10.0);
            lowest = std::min(lowest, share);
            highest = std::max(highest, share);
        }
    }
    EXPECT_GE(lowest, 0.70 - 1e-6);
    EXPECT_LE(highest, 1.00 + 1e-6);
    EXPECT_LT(lowest, 0.75);
    EXPECT_GT(highest, 0.95);
}

TEST(MiniEqualizer, BarsWithoutAWeightUseEightTenths) {
    ScriptedRandom random;
    random.step = 0.08;
    random.phase = std::numbers::pi / 2 - 0.08;
    Fixture f(30, 22, &random); // five bars as constructed: no weights
    f.eq.reset();
    ASSERT_TRUE(f.eq.barWeights().empty());
    f.eq.pushLevel(0.05f);
    f.eq.tick();
    for (double target : f.eq.targetHeights()) {
        EXPECT_NEAR(target, 0.8 * 10.0 + 1.5, 1e-4);
    }
}

TEST(MiniEqualizer, BarsWithoutHeightsDoNotMove) {
    Fixture f(30, 22); // nothing laid out and no reset: no heights to move
    f.eq.pushLevel(1.0f);
    f.eq.tick();
    EXPECT_TRUE(f.eq.barHeights().empty());
}

TEST(MiniEqualizer, ResetRestsTheBarsAndClearsLevelAndDimming) {
    Fixture f(66, 22);
    f.eq.pushLevel(1.0f);
    for (int i = 0; i < 5; ++i) {
        f.eq.tick();
    }
    f.eq.setDimmed(true);
    const auto weights = f.eq.barWeights();
    f.eq.reset();
    EXPECT_EQ(f.eq.barHeights(), std::vector<double>(12, 1.5));
    EXPECT_EQ(f.eq.targetHeights(), std::vector<double>(12, 1.5));
    EXPECT_EQ(f.eq.currentLevel(), 0.0f);
    EXPECT_FALSE(f.eq.dimmed());
    EXPECT_EQ(f.eq.barWeights(), weights);
    f.eq.tick();
    EXPECT_EQ(f.eq.barHeights(), std::vector<double>(12, 1.5)) << "no level: bars stay at rest";
}

TEST(MiniEqualizer, RendersOncePerScreenRefreshThroughTheScheduler) {
    Fixture f(66, 22);
    f.eq.reset();
    const double refresh = f.eq.screen()->refreshRate();
    ASSERT_GT(refresh, 0);
    EXPECT_DOUBLE_EQ(f.eq.frameInterval(), 1.0 / refresh);

    f.eq.pushLevel(1.0f);
    f.eq.startRendering();
    f.eq.startRendering();
    EXPECT_EQ(f.scheduler.pendingCount(), 1u) << "a second start adds no second frame source";
    f.scheduler.advance(f.eq.frameInterval() * 0.5);
    EXPECT_EQ(f.eq.barHeights()[0], 1.5) << "no frame before one refresh";
    f.scheduler.advance(f.eq.frameInterval() * 0.6);
    const double afterOne = f.eq.barHeights()[0];
    EXPECT_GT(afterOne, 1.5);
    f.scheduler.advance(f.eq.frameInterval() * 10);
    EXPECT_GT(f.eq.barHeights()[0], afterOne);

    f.eq.stopRendering();
    EXPECT_EQ(f.scheduler.pendingCount(), 0u);
    const auto frozen = f.eq.barHeights();
    f.scheduler.advance(1.0);
    EXPECT_EQ(f.eq.barHeights(), frozen) << "stopped bars keep their heights";
    f.eq.stopRendering(); // harmless
    EXPECT_FALSE(f.eq.isRendering());
}

TEST(MiniEqualizer, DoesNotTickWhileHidden) {
    Fixture f(66, 22);
    f.eq.reset();
    f.eq.pushLevel(1.0f);
    f.eq.hide();
    f.eq.startRendering();
    EXPECT_TRUE(f.eq.isRendering());
    EXPECT_EQ(f.scheduler.pendingCount(), 0u);
    f.scheduler.advance(0.5);
    EXPECT_EQ(f.eq.barHeights()[0], 1.5);
    f.eq.show();
    EXPECT_EQ(f.scheduler.pendingCount(), 1u);
    f.scheduler.advance(0.1);
    EXPECT_GT(f.eq.barHeights()[0], 1.5);
    f.eq.hide();
    EXPECT_EQ(f.scheduler.pendingCount(), 0u);
}

TEST(MiniEqualizer, DestroyingTheViewStopsItsFrames) {
    FakeScheduler scheduler;
    {
        MiniEqualizer eq(scheduler);
        eq.resize(66, 22);
        eq.show();
        eq.startRendering();
        EXPECT_EQ(scheduler.pendingCount(), 1u);
    }
    EXPECT_EQ(scheduler.pendingCount(), 0u);
    scheduler.advance(1.0); // must not touch the destroyed view
}

struct ColorCase {
    const char* name;
    double intensity;
    double red, green, blue, alpha; // undimmed
};

class MiniEqualizerColorTest : public ::testing::TestWithParam<ColorCase> {};

TEST_P(MiniEqualizerColorTest, BandsByIntensityAndDimsToAQuarterAlpha) {
    const ColorCase& c = GetParam();
    for (const bool dimmed : {false, true}) {
        const QColor color = MiniEqualizer::barColor(c.intensity, dimmed);
        EXPECT_NEAR(color.redF(), c.red, 1e-3);
        EXPECT_NEAR(color.greenF(), c.green, 1e-3);
        EXPECT_NEAR(color.blueF(), c.blue, 1e-3);
        EXPECT_NEAR(color.alphaF(), c.alpha * (dimmed ? 0.25 : 1.0), 1e-3) << "dimmed " << dimmed;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bands, MiniEqualizerColorTest,
    ::testing::Values(ColorCase{"Rest", 0.0, 0.3, 0.3, 0.3, 0.25},
                      ColorCase{"GreyUpToFivePercent", 0.05, 0.3, 0.3, 0.3, 0.25},
                      ColorCase{"DarkGreenAboveFivePercent", 0.06, 0.15, 0.55, 0.4, 0.38},
                      ColorCase{"DarkGreenUpToFortyPercent", 0.4, 0.15, 0.55, 0.4, 0.55},
                      ColorCase{"BrightGreenAboveFortyPercent", 0.5, 0.18, 0.82, 0.55, 0.85},
                      ColorCase{"BrightGreenFull", 1.0, 0.18, 0.82, 0.55, 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

// Bar i of a row of n in a view w wide covers x0 + 5.5 i … + 2.5, x0 = (w − row width) / 2.
int barCentre(int i, int n, int w) {
    const double x0 = (w - (n * 2.5 + (n - 1) * 3.0)) / 2;
    return static_cast<int>(x0 + i * 5.5 + 1.25);
}

TEST(MiniEqualizer, DrawsRestingBarsAsFaintGreyDotsInACentredRow) {
    for (const bool dimmed : {false, true}) {
        Fixture f(30, 14); // bars at x 2.75, 8.25, 13.75, 19.25, 24.75; mid line 7
        f.eq.reset();
        f.eq.setDimmed(dimmed);
        const QImage image = grab(f.eq);
        const int alpha = dimmed ? 16 : 64;
        for (int i = 0; i < 5; ++i) {
            const QColor dot = image.pixelColor(barCentre(i, 5, 30), 7);
            EXPECT_NEAR(dot.alpha(), alpha, 2) << "bar " << i << " dimmed " << dimmed;
            EXPECT_NEAR(dot.red(), 77, 6);
            EXPECT_NEAR(dot.green(), 77, 6);
            EXPECT_EQ(image.pixelColor(barCentre(i, 5, 30), 4).alpha(), 0) << "3 px tall only";
        }
        for (int x : {0, 1, 6, 7, 28, 29}) {
            EXPECT_EQ(image.pixelColor(x, 7).alpha(), 0) << "gap at x " << x;
        }
    }
}

TEST(MiniEqualizer, DrawsLoudBarsInGreenAtTheirHeight) {
    for (const bool dimmed : {false, true}) {
        Fixture f(66, 22);
        f.eq.reset();
        f.eq.pushLevel(1.0f);
        for (int i = 0; i < 20; ++i) {
            f.eq.tick();
        }
        f.eq.setDimmed(dimmed);
        const QImage image = grab(f.eq);
        for (int i = 0; i < 12; ++i) {
            const double bh = f.eq.barHeights()[static_cast<std::size_t>(i)];
            ASSERT_GT(bh, 4.0);
            const int x = barCentre(i, 12, 66);
            const QColor inside = image.pixelColor(x, static_cast<int>(11 - bh + 1.5));
            const QColor below = image.pixelColor(x, static_cast<int>(11 + bh - 1.5));
            const int aboveRow = static_cast<int>(std::floor(11 - bh - 1));
            const QColor expected = MiniEqualizer::barColor((bh - 1.5) / 11.0, dimmed);
            EXPECT_GT(inside.green(), inside.red() + 60) << "green bar " << i;
            EXPECT_NEAR(inside.alpha(), expected.alpha(), 3) << "bar " << i;
            EXPECT_NEAR(below.alpha(), expected.alpha(), 3) << "symmetric about the mid line";
            if (aboveRow >= 0) { // the loudest bars reach the edge
                EXPECT_EQ(image.pixelColor(x, aboveRow).alpha(), 0) << "nothing above bar " << i;
            }
        }
    }
}

} // namespace
} // namespace skrib
