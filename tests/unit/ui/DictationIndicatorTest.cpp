#include "ui/indicator/DictationIndicator.h"

#include "FakeScheduler.h"
#include "MemoryDefaults.h"
#include "platform/NotificationCenter.h"
#include "ui/indicator/MiniEqualizer.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>

namespace skrib {
namespace {

using testing::FakeScheduler;
using testing::MemoryDefaults;

const QColor grey(0xAA, 0xAA, 0xAA);
const QColor yellow(0xFA, 0xCC, 0x15);
const QColor red(0xEF, 0x44, 0x44);
const QColor darkGrey(0x66, 0x66, 0x66);

struct Capsule {
    FakeScheduler scheduler;
    MemoryDefaults defaults;
    NotificationCenter center;
    std::optional<DictationIndicator> indicator;

    explicit Capsule(std::optional<std::string> storedSize = std::nullopt) {
        if (storedSize) {
            defaults.set("capsuleSize", storedSize->c_str());
        }
        indicator.emplace(scheduler, defaults, center);
    }
    DictationIndicator& operator*() { return *indicator; }
    DictationIndicator* operator->() { return &*indicator; }

    QString text() const { return indicator->timerLabel()->text(); }
    QColor color() const { return indicator->timerLabel()->palette().color(QPalette::WindowText); }
    // A little past `seconds`, so that the frame falling due at the end has run.
    void advancePast(double seconds) { scheduler.advance(seconds + 0.02); }
    void changeStoredSize(const char* raw) {
        defaults.set("capsuleSize", raw);
        center.post(DictationIndicator::sizeChangedNotification);
        scheduler.runUntilIdle();
    }
};

QRect availableArea() {
    return QGuiApplication::primaryScreen()->availableGeometry();
}

QPoint topCentre(int width) {
    const QRect a = availableArea();
    return {a.x() + a.width() / 2 - width / 2, a.y() + 6};
}

// --- The time label ---

struct TimeCase {
    const char* name;
    double elapsed;
    double maxDuration;
    const char* text;
    QColor color;
};

class ElapsedTextTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ElapsedTextTest, ShowsMinutesAndSecondsOrTheLastThirtySecondsInYellow) {
    const TimeCase& c = GetParam();
    const auto t = DictationIndicator::elapsedText(c.elapsed, c.maxDuration);
    EXPECT_EQ(t.text.toStdString(), c.text);
    EXPECT_EQ(t.color, c.color);
}

INSTANTIATE_TEST_SUITE_P(
    Times, ElapsedTextTest,
    ::testing::Values(TimeCase{"Start", 0, 0, "0:00", grey},
                      TimeCase{"SecondsAreTruncated", 59.9, 0, "0:59", grey},
                      TimeCase{"OneMinute", 60, 0, "1:00", grey},
                      TimeCase{"TenMinutes", 600, 0, "10:00", grey},
                      TimeCase{"MinutesAreNotCapped", 3665, 0, "61:05", grey},
                      TimeCase{"BeforeTheLastThirtySeconds", 3569, 3600, "59:29", grey},
                      TimeCase{"ThirtySecondsLeft", 3570, 3600, "0:30", yellow},
                      TimeCase{"RemainingIsTruncated", 3570.2, 3600, "0:29", yellow},
                      TimeCase{"LastSecond", 3599.5, 3600, "0:00", yellow},
                      TimeCase{"PastTheLimitIsNeverNegative", 3605, 3600, "0:00", yellow},
                      TimeCase{"ShortLimitCountsDownFromTheStart", 3, 20, "0:17", yellow}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DictationIndicator, CountsUpOnceASecondWithoutALimit) {
    Capsule c;
    c->showIndicator();
    EXPECT_EQ(c.text(), "0:00");
    c.scheduler.advance(59.0);
    EXPECT_EQ(c.text(), "0:59");
    EXPECT_EQ(c.color(), grey);
    c.scheduler.advance(0.5);
    EXPECT_EQ(c.text(), "0:59") << "one tick a second";
    c.scheduler.advance(0.5);
    EXPECT_EQ(c.text(), "1:00");
    c.scheduler.advance(3665.0 - 60.0);
    EXPECT_EQ(c.text(), "61:05");
    EXPECT_EQ(c.color(), grey);
}

TEST(DictationIndicator, CountsDownInYellowInTheLastThirtySecondsOfTheLimit) {
    Capsule c;
    c->showIndicator();
    c->setMaxDuration(3600);
    c.scheduler.advance(3569.0);
    EXPECT_EQ(c.text(), "59:29");
    EXPECT_EQ(c.color(), grey);
    c.scheduler.advance(2.0);
    EXPECT_EQ(c.text(), "0:29");
    EXPECT_EQ(c.color(), yellow);
    c.scheduler.advance(40.0);
    EXPECT_EQ(c.text(), "0:00");
    EXPECT_EQ(c.color(), yellow);
}

TEST(DictationIndicator, ANewShowStartsAgainAtZeroInGrey) {
    Capsule c;
    c->showIndicator();
    c->setMaxDuration(40);
    c.scheduler.advance(15.0);
    EXPECT_EQ(c.color(), yellow);
    c->hideIndicator();
    c.advancePast(0.12);
    c->showIndicator();
    EXPECT_EQ(c.text(), "0:00");
    EXPECT_EQ(c.color(), grey);
    c.scheduler.advance(12.0);
    EXPECT_EQ(c.text(), "0:28") << "the limit stays until the owner sets another";
    EXPECT_EQ(c.color(), yellow);
}

// --- Showing, hiding and placement ---

TEST(DictationIndicator, ShowsAtTheTopCentreFadingInAndHidesFadingOut) {
    Capsule c;
    EXPECT_FALSE(c->isVisible());
    c->showIndicator();
    EXPECT_TRUE(c->isVisible());
    EXPECT_EQ(c->pos(), topCentre(200));
    EXPECT_EQ(c->size(), QSize(200, 34));
    EXPECT_EQ(c->windowOpacity(), 0.0);
    c.scheduler.advance(0.075);
    EXPECT_GT(c->windowOpacity(), 0.3);
    EXPECT_LT(c->windowOpacity(), 0.7);
    c.advancePast(0.075);
    EXPECT_EQ(c->windowOpacity(), 1.0);
    EXPECT_TRUE(c->leftEQ()->isRendering());
    EXPECT_TRUE(c->rightEQ()->isRendering());

    c->hideIndicator();
    EXPECT_FALSE(c->leftEQ()->isRendering());
    EXPECT_FALSE(c->rightEQ()->isRendering());
    c.scheduler.advance(0.06);
    EXPECT_TRUE(c->isVisible());
    EXPECT_LT(c->windowOpacity(), 0.75);
    c.advancePast(0.06);
    EXPECT_FALSE(c->isVisible());
    const std::string before = c.text().toStdString();
    c.scheduler.advance(5.0);
    EXPECT_EQ(c.text().toStdString(), before) << "no elapsed ticks once hidden";
    EXPECT_EQ(c.scheduler.pendingCount(), 0u) << "every timer stopped";
}

TEST(DictationIndicator, EveryShowCountsAGeneration) {
    Capsule c;
    EXPECT_EQ(c->generation(), 0u);
    c->showIndicator();
    c->showIndicator();
    EXPECT_EQ(c->generation(), 2u);
}

TEST(DictationIndicator, AShowDuringTheFadeOutStays) {
    Capsule c;
    c->showIndicator();
    c->hideIndicator();
    c.scheduler.advance(0.05);
    c->showIndicator();
    c.advancePast(1.0);
    EXPECT_TRUE(c->isVisible());
    EXPECT_EQ(c->windowOpacity(), 1.0);
    EXPECT_EQ(c.text(), "0:01");
}

TEST(DictationIndicator, ADraggedCapsuleGoesBackToTheTopCentreAtTheNextShow) {
    Capsule c;
    c->showIndicator();
    const QPoint start = c->pos();
    const QPointF grip(20, 10);
    QMouseEvent press(QEvent::MouseButtonPress, grip, grip + start, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(&*c, &press);
    QMouseEvent drag(QEvent::MouseMove, grip, grip + start + QPoint(-150, 200), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&*c, &drag);
    QMouseEvent release(QEvent::MouseButtonRelease, grip, grip + start + QPoint(-150, 200),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&*c, &release);
    EXPECT_EQ(c->pos(), start + QPoint(-150, 200));
    c->showIndicator();
    EXPECT_EQ(c->pos(), topCentre(200));
}

// --- Sizes ---

struct StoredSizeCase {
    const char* name;
    std::optional<std::string> stored;
    QSize size;
    int fontSize;
    int eqHeight;
};

class IndicatorSizeTest : public ::testing::TestWithParam<StoredSizeCase> {};

TEST_P(IndicatorSizeTest, ShowsInTheStoredSize) {
    const StoredSizeCase& s = GetParam();
    Capsule c(s.stored);
    c->showIndicator();
    EXPECT_EQ(c->size(), s.size);
    EXPECT_EQ(c->pos(), topCentre(s.size.width()));
    EXPECT_EQ(c->timerLabel()->font().pixelSize(), s.fontSize);
    EXPECT_EQ(c->leftEQ()->height(), s.eqHeight);
    EXPECT_EQ(c->rightEQ()->height(), s.eqHeight);
    EXPECT_DOUBLE_EQ(c->cornerRadius(), s.size.height() / 2.0);
    // The bar rows fill the room beside the label, inside the insets.
    const QRect label = c->timerLabel()->geometry();
    EXPECT_NEAR(label.left() + label.width() / 2.0, s.size.width() / 2.0, 1.0);
    EXPECT_EQ(c->leftEQ()->geometry().right() + 1 + 6, label.left());
    EXPECT_EQ(c->rightEQ()->geometry().left(), label.right() + 1 + 6);
    EXPECT_EQ(c->leftEQ()->geometry().left(),
              s.size.width() - 1 - c->rightEQ()->geometry().right());
}

INSTANTIATE_TEST_SUITE_P(
    Stored, IndicatorSizeTest,
    ::testing::Values(StoredSizeCase{"Nothing", std::nullopt, {200, 34}, 13, 22},
                      StoredSizeCase{"Unknown", "huge", {200, 34}, 13, 22},
                      StoredSizeCase{"Small", "small", {130, 26}, 11, 14},
                      StoredSizeCase{"Medium", "medium", {200, 34}, 13, 22},
                      StoredSizeCase{"Large", "large", {300, 46}, 16, 32}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DictationIndicator, ASizeChangeAppliesAtOnceAndTheWindowSizeAtTheNextShow) {
    Capsule c;
    c->showIndicator();
    const int leftInset = c->leftEQ()->x();
    c.changeStoredSize("large");
    EXPECT_EQ(c->currentSize(), CapsuleSize::large);
    EXPECT_DOUBLE_EQ(c->cornerRadius(), 23.0);
    EXPECT_EQ(c->leftEQ()->height(), 32);
    EXPECT_EQ(c->rightEQ()->height(), 32);
    EXPECT_EQ(c->timerLabel()->font().pixelSize(), 16);
    EXPECT_EQ(c->size(), QSize(200, 34)) << "the window keeps its size while shown";

    c->hideIndicator();
    c.advancePast(0.12);
    c->showIndicator();
    EXPECT_EQ(c->size(), QSize(300, 46));
    EXPECT_EQ(c->pos(), topCentre(300));
    EXPECT_EQ(c->leftEQ()->x(), leftInset) << "the insets keep the size built with";
}

TEST(DictationIndicator, ASizeChangeNotificationReadsTheStore) {
    Capsule c;
    c.changeStoredSize("nonsense");
    EXPECT_EQ(c->currentSize(), CapsuleSize::medium);
    c.changeStoredSize("small");
    EXPECT_EQ(c->currentSize(), CapsuleSize::small);
    c.indicator.reset();
    c.center.post(DictationIndicator::sizeChangedNotification);
    c.scheduler.runUntilIdle(); // no observer left
}

// --- Processing ---

TEST(DictationIndicator, ProcessingFreezesAndDimsTheBarsAndPulsesTheTime) {
    Capsule c;
    c->showIndicator();
    c->pushLevel(1.0f);
    c.scheduler.advance(3.0);
    EXPECT_EQ(c.text(), "0:03");
    c->showProcessing();
    EXPECT_EQ(c.text(), "0:03");
    EXPECT_EQ(c.color(), darkGrey);
    for (MiniEqualizer* eq : {c->leftEQ(), c->rightEQ()}) {
        EXPECT_FALSE(eq->isRendering());
        EXPECT_TRUE(eq->dimmed());
    }
    const auto frozen = c->leftEQ()->barHeights();
    EXPECT_GT(frozen[0], 1.5);

    c.scheduler.advance(0.99);
    EXPECT_EQ(c->labelOpacity(), 1.0) << "the first pulse comes after a second";
    c.scheduler.advance(0.26);
    EXPECT_NEAR(c->labelOpacity(), 0.7, 0.05);
    c.scheduler.advance(0.25);
    EXPECT_NEAR(c->labelOpacity(), 0.4, 0.05);
    c.scheduler.advance(0.25);
    EXPECT_NEAR(c->labelOpacity(), 0.7, 0.05) << "and back again";
    c.scheduler.advance(0.5);
    EXPECT_NEAR(c->labelOpacity(), 0.7, 0.05) << "the next pulse";
    EXPECT_EQ(c.text(), "0:03") << "no elapsed ticks while processing";
    EXPECT_EQ(c->leftEQ()->barHeights(), frozen);

    c->hideIndicator();
    EXPECT_EQ(c->labelOpacity(), 1.0);
    c.advancePast(3.0);
    EXPECT_EQ(c->labelOpacity(), 1.0);
    EXPECT_FALSE(c->isVisible());
}

// --- Errors ---

struct ErrorCase {
    const char* name;
    const char* stored;
    int width;
    int errorWidth;
    int height;
};

class IndicatorErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(IndicatorErrorTest, AnErrorAloneHidesAfterTwoSecondsAndRestoresTheSize) {
    const ErrorCase& e = GetParam();
    Capsule c(std::string(e.stored));
    c->showIndicator();
    c.scheduler.advance(1.0);
    c->showProcessing();
    c.scheduler.advance(1.0);
    c->showError(QStringLiteral("No speech detected"));
    EXPECT_EQ(c.text(), "No speech detected");
    EXPECT_EQ(c.color(), red);
    EXPECT_EQ(c->labelOpacity(), 1.0);
    EXPECT_EQ(c->size(), QSize(e.errorWidth, e.height));
    EXPECT_EQ(c->pos(), topCentre(e.errorWidth));

    // A size change before the hide does not change what the hide restores.
    c.changeStoredSize(std::string(e.stored) == "large" ? "small" : "large");
    c.scheduler.advance(1.99);
    EXPECT_TRUE(c->isVisible());
    EXPECT_EQ(c->windowOpacity(), 1.0);
    EXPECT_EQ(c->size().width(), e.errorWidth);
    c.scheduler.advance(0.01 + 0.06);
    EXPECT_TRUE(c->isVisible()) << "fading out";
    EXPECT_LT(c->windowOpacity(), 1.0);
    c.advancePast(0.06);
    EXPECT_FALSE(c->isVisible());
    EXPECT_EQ(c->size(), QSize(e.width, e.height));
}

INSTANTIATE_TEST_SUITE_P(Sizes, IndicatorErrorTest,
                         ::testing::Values(ErrorCase{"Small", "small", 130, 190, 26},
                                           ErrorCase{"Medium", "medium", 200, 250, 34},
                                           ErrorCase{"Large", "large", 300, 340, 46}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DictationIndicator, AnErrorFollowedByAShowWithinTwoSecondsKeepsRecording) {
    Capsule c;
    c->showIndicator();
    c->showError(QStringLiteral("Network error"));
    c.scheduler.advance(1.0);
    c->showIndicator();
    EXPECT_EQ(c->size(), QSize(200, 34));
    EXPECT_EQ(c->pos(), topCentre(200));
    c.scheduler.advance(1.5); // past the error's hide time
    EXPECT_TRUE(c->isVisible());
    EXPECT_EQ(c->windowOpacity(), 1.0);
    EXPECT_EQ(c->size(), QSize(200, 34));
    EXPECT_EQ(c.text(), "0:01");
    EXPECT_EQ(c.color(), grey);
    EXPECT_TRUE(c->leftEQ()->isRendering());
}

TEST(DictationIndicator, ASecondErrorInTheSameShowDoesNotPutTheHideOff) {
    Capsule c;
    c->showIndicator();
    c->showError(QStringLiteral("Network error"));
    c.scheduler.advance(1.5);
    c->showError(QStringLiteral("Service unavailable"));
    c.advancePast(0.5 + 0.12);
    EXPECT_FALSE(c->isVisible()) << "hidden two seconds after the first error";
}

TEST(DictationIndicator, AStrayMoveRightAfterShowingIsUndoneOnce) {
    Capsule c;
    c->showIndicator();
    c->move(0, 0); // as a reparenting window manager may report
    c.scheduler.runUntilIdle();
    EXPECT_EQ(c->pos(), topCentre(200));
    c->move(0, 0);
    c.scheduler.runUntilIdle();
    EXPECT_EQ(c->pos(), QPoint(0, 0)) << "only once: the window manager has the last word";
}

TEST(DictationIndicator, AnErrorKeepsAMovedCapsulesHeightOnScreen) {
    Capsule c;
    c->showIndicator();
    c.advancePast(0.15);
    c->move(40, 300);
    c->showError(QStringLiteral("Network error"));
    EXPECT_EQ(c->pos(), QPoint(topCentre(250).x(), 300));
}

TEST(DictationIndicator, ALongErrorIsShortenedToFitTheCapsule) {
    Capsule c;
    c->showIndicator();
    const QString message(200, QLatin1Char('x'));
    c->showError(message);
    EXPECT_TRUE(c.text().endsWith(QChar(0x2026))) << c.text().toStdString();
    EXPECT_LE(c->timerLabel()->geometry().right(), 250 - 14);
    EXPECT_GE(c->timerLabel()->geometry().left(), 14);
}

// --- Drawing ---

QImage grab(QWidget& w) {
    return w.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// The strongest colour among the pixels of `area`, by `score`.
template <typename Score>
QColor strongest(const QImage& image, const QRect& area, Score score) {
    QColor best(0, 0, 0, 0);
    int bestScore = -100000;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor p = image.pixelColor(x, y);
            if (score(p) > bestScore) {
                bestScore = score(p);
                best = p;
            }
        }
    }
    return best;
}

TEST(DictationIndicator, DrawsADarkPillWithTransparentCorners) {
    Capsule c;
    c->showIndicator();
    const QImage image = grab(*c);
    ASSERT_EQ(image.size(), QSize(200, 34));
    for (const QPoint corner :
         {QPoint(0, 0), QPoint(199, 0), QPoint(0, 33), QPoint(199, 33), QPoint(3, 3)}) {
        EXPECT_EQ(image.pixelColor(corner).alpha(), 0) << corner.x() << "," << corner.y();
    }
    for (const QPoint inside : {QPoint(100, 3), QPoint(8, 17), QPoint(190, 28), QPoint(100, 30)}) {
        const QColor p = image.pixelColor(inside);
        EXPECT_NEAR(p.alpha(), 235, 2) << "#111114 at 0.92";
        EXPECT_NEAR(p.red(), 0x11, 2);
        EXPECT_NEAR(p.green(), 0x11, 2);
        EXPECT_NEAR(p.blue(), 0x14, 2);
    }
    // Rounded ends: the left end's middle is inside, its top corner outside.
    EXPECT_GT(image.pixelColor(1, 17).alpha(), 200);
    EXPECT_EQ(image.pixelColor(4, 1).alpha(), 0);
}

auto yellowness = [](const QColor& p) { return std::min(p.red(), p.green()) - p.blue(); };
auto redness = [](const QColor& p) { return p.red() - std::max(p.green(), p.blue()); };
auto greenness = [](const QColor& p) { return p.green() - p.red(); };
auto brightness = [](const QColor& p) { return p.red() + p.green() + p.blue(); };

TEST(DictationIndicator, DrawsTheTimeAndLiveBarsWhileRecording) {
    Capsule c;
    c->showIndicator();
    c->pushLevel(0.2f);
    c.scheduler.advance(1.0);
    const QImage image = grab(*c);
    const QRect label = c->timerLabel()->geometry();
    const QColor text = strongest(image, label, brightness);
    EXPECT_NEAR(text.red(), 0xAA, 24) << "grey time";
    EXPECT_NEAR(text.green(), text.red(), 6);
    EXPECT_NEAR(text.blue(), text.red(), 6);
    for (MiniEqualizer* eq : {c->leftEQ(), c->rightEQ()}) {
        const QColor bar = strongest(image, eq->geometry(), greenness);
        EXPECT_GT(bar.green() - bar.red(), 100) << "green bars";
    }
}

TEST(DictationIndicator, DrawsTheCountdownInYellow) {
    Capsule c;
    c->showIndicator();
    c->setMaxDuration(20);
    c.scheduler.advance(1.0);
    const QColor text = strongest(grab(*c), c->timerLabel()->geometry(), yellowness);
    EXPECT_GT(yellowness(text), 120);
    EXPECT_GT(text.red(), 200);
}

TEST(DictationIndicator, DrawsProcessingDimmed) {
    Capsule c;
    c->showIndicator();
    c->pushLevel(0.2f);
    c.scheduler.advance(1.0);
    c->showProcessing();
    const QImage image = grab(*c);
    const QColor text = strongest(image, c->timerLabel()->geometry(), brightness);
    EXPECT_NEAR(text.red(), 0x66, 16) << "dark grey time";
    EXPECT_LT(yellowness(text), 10);
    for (MiniEqualizer* eq : {c->leftEQ(), c->rightEQ()}) {
        const QColor bar = strongest(image, eq->geometry(), greenness);
        EXPECT_GT(greenness(bar), 5) << "the bars are still there";
        EXPECT_LT(greenness(bar), 60) << "at a quarter of their opacity";
    }
}

TEST(DictationIndicator, DrawsTheErrorInRedAcrossTheWiderCapsule) {
    Capsule c;
    c->showIndicator();
    c->showError(QStringLiteral("Service unavailable"));
    const QImage image = grab(*c);
    ASSERT_EQ(image.width(), 250);
    const QColor text = strongest(image, c->timerLabel()->geometry(), redness);
    EXPECT_GT(redness(text), 120);
    EXPECT_GT(c->timerLabel()->width(), 80);
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
    EXPECT_NEAR(image.pixelColor(125, 2).alpha(), 235, 2);
}

} // namespace
} // namespace skrib
