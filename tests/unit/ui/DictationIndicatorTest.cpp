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
struct EndCase {
    const char* name;
    std::function<void(DictationIndicator&)> end;
    double stillShownAt;
    bool showAgain;
};

class Ending : public ::testing::TestWithParam<EndCase> {};

TEST_P(Ending, HidesInTimeUnlessShownAgain) {
    Capsule c;
    c->showIndicator();
    c.scheduler.advance(1.5);
    GetParam().end(*c.indicator);
    c.scheduler.advance(GetParam().stillShownAt);
    EXPECT_TRUE(c->isVisible());
    if (GetParam().showAgain) {
        c->showIndicator();
        c.scheduler.advance(3.0);
        EXPECT_TRUE(c->isVisible());
        EXPECT_EQ(c.text(), "0:03");
        EXPECT_TRUE(c->leftEQ()->isRendering());
        return;
    }
    c.scheduler.advance(0.3);
    EXPECT_FALSE(c->isVisible());
    EXPECT_EQ(c.scheduler.pendingCount(), 0u);
    EXPECT_EQ(c->labelOpacity(), 1.0);
}

const auto cancel = [](DictationIndicator& i) { i.hideIndicator(); };
const auto fail = [](DictationIndicator& i) { i.showError(QStringLiteral("Network error")); };

INSTANTIATE_TEST_SUITE_P(
    Ends, Ending,
    ::testing::Values(EndCase{"Cancelled", cancel, 0.05, false},
                      EndCase{"ResultAfterProcessing",
                              [](auto& i) {
                                  i.showProcessing();
                                  i.hideIndicator();
                              },
                              0.05, false},
                      EndCase{"Error", fail, 1.9, false},
                      EndCase{"SecondErrorDoesNotPutTheHideOff",
                              [](auto& i) {
                                  i.showError(QStringLiteral("Network error"));
                                  i.showError(QStringLiteral("Service unavailable"));
                              },
                              1.9, false},
                      EndCase{"ShownAgainDuringTheFadeOut", cancel, 0.05, true},
                      EndCase{"ShownAgainWhileAnErrorShows", fail, 1.0, true}),
    [](const auto& info) { return std::string(info.param.name); });

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
