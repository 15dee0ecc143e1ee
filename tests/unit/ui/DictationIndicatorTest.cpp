// The capsule's states on virtual time: what shows, what runs, what stops.

#include "ui/indicator/DictationIndicator.h"

#include "FakeScheduler.h"
#include "MemoryDefaults.h"
#include "platform/NotificationCenter.h"
#include "ui/indicator/MiniEqualizer.h"

#include <functional>
#include <gtest/gtest.h>
#include <numeric>
#include <optional>

#include <QLabel>

namespace skrib {
namespace {

double sum(const std::vector<double>& heights) {
    return std::accumulate(heights.begin(), heights.end(), 0.0);
}

struct Capsule {
    testing::FakeScheduler scheduler;
    testing::MemoryDefaults defaults;
    NotificationCenter center;
    std::optional<DictationIndicator> indicator{std::in_place, scheduler, defaults, center};

    DictationIndicator* operator->() { return &*indicator; }
    std::string text() const { return indicator->timerLabel()->text().toStdString(); }
};

TEST(DictationIndicator, CountsAndMovesTheBarsWhileRecordingAndFreezesThemWhileProcessing) {
    Capsule c;
    c->showIndicator();
    c.scheduler.advance(0.2);
    EXPECT_EQ(c->windowOpacity(), 1.0) << "faded in";
    // The bars follow the level: up with speech, louder is taller, back down in silence.
    const double rest = sum(c->leftEQ()->barHeights());
    std::vector<double> heights;
    for (const float level : {0.01f, 0.0f, 0.05f}) {
        c->pushLevel(level);
        c.scheduler.advance(20.3);
        heights.push_back(sum(c->leftEQ()->barHeights()));
    }
    EXPECT_GT(heights[0], rest + 2);
    EXPECT_NEAR(heights[1], rest, 0.5);
    EXPECT_GT(heights[2], heights[0] + 5);
    EXPECT_GT(sum(c->rightEQ()->barHeights()), heights[0] + 5);
    EXPECT_EQ(c.text(), "1:01");
    c->setMaxDuration(80);
    c.scheduler.advance(1.0);
    EXPECT_EQ(c.text(), "0:18") << "the last thirty seconds count down";

    c->showProcessing();
    const auto frozen = c->leftEQ()->barHeights();
    double lowest = 1.0;
    for (int i = 0; i < 40; ++i) {
        c.scheduler.advance(0.05);
        lowest = std::min(lowest, c->labelOpacity());
    }
    EXPECT_EQ(c.text(), "0:18");
    EXPECT_EQ(c->leftEQ()->barHeights(), frozen);
    EXPECT_LT(lowest, 0.6) << "the time pulses";
}

// How a recording ends: the capsule is gone in time with every timer stopped, unless a new
// recording starts meanwhile, which must stay.
TEST(DictationIndicator, HidesInTimeWhenARecordingEndsUnlessShownAgain) {
    using End = void (*)(DictationIndicator&);
    const End cancel = [](DictationIndicator& i) { i.hideIndicator(); };
    const End fail = [](DictationIndicator& i) { i.showError(QStringLiteral("Network error")); };
    const struct { const char* name; End end; double stillShownAt; bool showAgain; } cases[] = {
        {"cancelled", cancel, 0.05, false},
        {"result", [](auto& i) { i.showProcessing(), i.hideIndicator(); }, 0.05, false},
        {"error", fail, 1.9, false},
        {"second error, one hide", [](auto& i) { i.showError("a"), i.showError("b"); }, 1.9, false},
        {"shown again during the fade-out", cancel, 0.05, true},
        {"shown again while an error shows", fail, 1.0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Capsule capsule;
        capsule->showIndicator();
        capsule.scheduler.advance(1.5);
        c.end(*capsule.indicator);
        capsule.scheduler.advance(c.stillShownAt);
        EXPECT_TRUE(capsule->isVisible());
        if (c.showAgain) {
            capsule->showIndicator();
            capsule.scheduler.advance(3.0);
            EXPECT_TRUE(capsule->isVisible());
            EXPECT_EQ(capsule.text(), "0:03");
            EXPECT_TRUE(capsule->leftEQ()->isRendering());
            continue;
        }
        capsule.scheduler.advance(0.3);
        EXPECT_FALSE(capsule->isVisible());
        EXPECT_EQ(capsule.scheduler.pendingCount(), 0u);
        EXPECT_EQ(capsule->labelOpacity(), 1.0);
    }
}

// The capsule may go while a fade, a pulse or an error's hide is pending.
TEST(DictationIndicator, DestroyedWhileAnimatingLeavesNothingBehind) {
    const std::function<void(DictationIndicator&)> states[] = {
        [](auto& i) { i.showIndicator(); }, [](auto& i) { i.showProcessing(); },
        [](auto& i) { i.showError(QStringLiteral("Network error")); },
        [](auto& i) { i.hideIndicator(); }};
    for (std::size_t n = 1; n <= std::size(states); ++n) {
        Capsule c;
        for (std::size_t i = 0; i < n; ++i) {
            states[i](*c.indicator);
            c.scheduler.advance(1.05);
        }
        c.indicator.reset();
        c.center.post(DictationIndicator::sizeChangedNotification);
        c.scheduler.advance(5.0); // must touch nothing of the destroyed capsule
        EXPECT_EQ(c.scheduler.pendingCount(), 0u) << "after state " << n;
    }
}

} // namespace
} // namespace skrib
