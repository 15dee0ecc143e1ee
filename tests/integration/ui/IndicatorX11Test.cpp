#include "DesktopObserver.h"
#include "MemoryDefaults.h"
#include "XServer.h"
#include "platform/NotificationCenter.h"
#include "platform/qt/QtScheduler.h"
#include "ui/indicator/DictationIndicator.h"
#include "ui/indicator/MiniEqualizer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <utility>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QTimer>

extern skrib::testing::XServer* gXServer;

namespace skrib {
namespace {

// Runs the event loop until `done` or the deadline (a failing test must not hang).
bool runLoopUntil(const std::function<bool()>& done, int deadlineMs = 10000) {
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(deadlineMs);
    while (!done() && deadline.isActive()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return done();
}

void runLoopFor(int ms) {
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(ms);
    while (deadline.isActive()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
}

using testing::DesktopObserver;

// The desktop as the user sees it.
QImage screenshot(const DesktopObserver& x) {
    DesktopObserver::Screenshot shot = x.screenshot();
    QImage image(shot.width, shot.height, QImage::Format_RGB32);
    for (int y = 0; y < shot.height; ++y) {
        std::copy_n(shot.pixels.data() + static_cast<std::size_t>(y) * shot.width, shot.width,
                    reinterpret_cast<std::uint32_t*>(image.scanLine(y)));
    }
    return image;
}

struct Capsule {
    QtScheduler scheduler;
    testing::MemoryDefaults defaults;
    NotificationCenter center;
    std::unique_ptr<DictationIndicator> indicator;
    std::shared_ptr<WorkItem> levels;

    Capsule() {
        scheduler.start();
        indicator = std::make_unique<DictationIndicator>(scheduler, defaults, center);
    }
    ~Capsule() {
        if (levels) {
            levels->cancel();
        }
        indicator.reset();
        scheduler.stop();
    }

    /// Speech-like levels, ten a second, as the capture delivers them.
    void speak() {
        const double start = scheduler.absoluteTime();
        levels = scheduler.scheduleRepeating(0.1, [this, start] {
            const double t = scheduler.absoluteTime() - start;
            indicator->pushLevel(static_cast<float>(0.01 + 0.04 * std::abs(std::sin(t * 3.0))));
        });
    }
    void quiet() {
        if (levels) {
            levels->cancel();
        }
    }
    QRect frame() const { return indicator->frameGeometry(); }
};

void saveScreenshot(const QImage& screen, const QRect& around, const char* name) {
    const QByteArray folder = qgetenv("SKRIB_SCREENSHOT_DIR");
    if (folder.isEmpty()) {
        return;
    }
    QDir().mkpath(QString::fromLocal8Bit(folder));
    const QImage crop = screen.copy(around.adjusted(-40, -20, 40, 40).intersected(screen.rect()));
    EXPECT_TRUE(crop.save(QDir(QString::fromLocal8Bit(folder)).filePath(QLatin1String(name))));
}

int greenness(const QColor& p) {
    return p.green() - p.red();
}
int redness(const QColor& p) {
    return p.red() - std::max(p.green(), p.blue());
}

// The colour among the pixels of `area` that scores highest.
template <typename Score>
QColor strongest(const QImage& image, const QRect& area, Score score) {
    QColor best;
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

QRect onScreen(const QWidget* child) {
    return QRect(child->mapToGlobal(QPoint(0, 0)), child->size());
}

const QColor desktop(0x3A, 0x6E, 0xA5);

// The pixels just inside each corner of the capsule's rectangle, outside the pill, each with
// the desktop pixel beside it outside the window.
std::vector<std::pair<QPoint, QPoint>> cornerPoints(const QRect& r) {
    return {{r.topLeft() + QPoint(1, 1), r.topLeft() + QPoint(-3, 1)},
            {r.topRight() + QPoint(-1, 1), r.topRight() + QPoint(3, 1)},
            {r.bottomLeft() + QPoint(1, -1), r.bottomLeft() + QPoint(-3, -1)},
            {r.bottomRight() + QPoint(-1, -1), r.bottomRight() + QPoint(3, -1)}};
}

TEST(WithCompositor, ShowingTheCapsuleLeavesTheActiveWindowAlone) {
    DesktopObserver x(gXServer->display());
    const auto other = x.openWindow();
    ASSERT_TRUE(runLoopUntil([&] {
        x.requestActivation(other);
        return x.activeWindow() == other;
    })) << "the window manager did not activate the window";
    const auto focusBefore = x.inputFocus();

    Capsule c;
    c.indicator->showIndicator();
    const auto capsule = static_cast<DesktopObserver::WindowId>(c.indicator->winId());
    ASSERT_TRUE(runLoopUntil([&] { return x.isViewable(capsule); }));
    runLoopFor(500); // time for the window manager to act on the new window
    EXPECT_EQ(x.activeWindow(), other);
    EXPECT_EQ(x.inputFocus(), focusBefore);
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);
    EXPECT_FALSE(c.indicator->usesWindowMask()) << "a compositor draws the transparent corners";

    EXPECT_TRUE(x.hasState(capsule, "_NET_WM_STATE_ABOVE")) << "kept above other windows";
    EXPECT_EQ(x.desktopOf(capsule), 0xFFFFFFFFll) << "on every virtual desktop";
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint topCentre(area.x() + area.width() / 2 - 100, area.y() + 6);
    EXPECT_EQ(x.rootPosition(capsule), std::make_pair(topCentre.x(), topCentre.y()));
    EXPECT_EQ(c.frame().topLeft(), topCentre) << "Qt knows where its window is";

    c.indicator->showProcessing();
    c.indicator->showError(QStringLiteral("Network error"));
    runLoopFor(300);
    EXPECT_EQ(x.activeWindow(), other);
    ASSERT_TRUE(runLoopUntil([&] { return !x.isViewable(capsule); }, 5000))
        << "hidden two seconds after the error";
    EXPECT_EQ(x.activeWindow(), other);
}

TEST(WithCompositor, RecordingProcessingAndErrorAsTheUserSeesThem) {
    DesktopObserver x(gXServer->display());
    x.setBackground(desktop.red(), desktop.green(), desktop.blue());
    Capsule c;

    c.indicator->showIndicator();
    c.speak();
    runLoopFor(1600);
    QImage screen = screenshot(x);
    const QRect pill = c.frame();
    saveScreenshot(screen, pill, "capsule-recording.png");
    for (const auto& [corner, beside] : cornerPoints(pill)) {
        EXPECT_EQ(screen.pixelColor(corner), screen.pixelColor(beside))
            << "corner " << corner.x() << "," << corner.y();
    }
    const QColor inside = screen.pixelColor(pill.center().x(), pill.top() + 3);
    EXPECT_LT(inside.red() + inside.green() + inside.blue(), 3 * 40) << "a dark pill";
    for (MiniEqualizer* eq : {c.indicator->leftEQ(), c.indicator->rightEQ()}) {
        EXPECT_GT(greenness(strongest(screen, onScreen(eq), greenness)), 100) << "live bars";
    }
    const QColor time = strongest(screen, onScreen(c.indicator->timerLabel()),
                                  [](const QColor& p) { return p.red(); });
    EXPECT_GT(time.red(), 130) << "the grey time";

    c.indicator->showProcessing();
    c.quiet();
    runLoopFor(700);
    screen = screenshot(x);
    saveScreenshot(screen, pill, "capsule-processing.png");
    for (MiniEqualizer* eq : {c.indicator->leftEQ(), c.indicator->rightEQ()}) {
        EXPECT_LT(greenness(strongest(screen, onScreen(eq), greenness)), 60) << "dimmed bars";
    }

    c.indicator->showError(QStringLiteral("No speech detected"));
    runLoopFor(400);
    screen = screenshot(x);
    const QRect wide = c.frame();
    EXPECT_EQ(wide.width(), 250);
    saveScreenshot(screen, wide, "capsule-error.png");
    EXPECT_GT(redness(strongest(screen, onScreen(c.indicator->timerLabel()), redness)), 100);
    for (const auto& [corner, beside] : cornerPoints(wide)) {
        EXPECT_EQ(screen.pixelColor(corner), screen.pixelColor(beside))
            << "corner " << corner.x() << "," << corner.y();
    }
}

TEST(WithoutCompositor, TheCornersShowTheDesktopNotBlack) {
    DesktopObserver x(gXServer->display());
    x.setBackground(desktop.red(), desktop.green(), desktop.blue());
    Capsule c;
    c.indicator->showIndicator();
    c.speak();
    const auto capsule = static_cast<DesktopObserver::WindowId>(c.indicator->winId());
    ASSERT_TRUE(runLoopUntil([&] { return x.isViewable(capsule); }));
    runLoopFor(800);
    EXPECT_TRUE(c.indicator->usesWindowMask());
    const QImage screen = screenshot(x);
    const QRect pill = c.frame();
    EXPECT_EQ(x.rootPosition(capsule), std::make_pair(pill.x(), pill.y()))
        << "Qt knows where its window is";
    saveScreenshot(screen, pill, "capsule-no-compositor.png");
    for (const auto& [corner, beside] : cornerPoints(pill)) {
        EXPECT_EQ(screen.pixelColor(corner), desktop)
            << "corner " << corner.x() << "," << corner.y();
        EXPECT_EQ(screen.pixelColor(beside), desktop);
    }
    const QColor inside = screen.pixelColor(pill.center().x(), pill.top() + 3);
    EXPECT_LT(inside.red() + inside.green() + inside.blue(), 3 * 40) << "the pill is drawn";

    // The mask follows the wider error capsule.
    c.indicator->showError(QStringLiteral("No speech detected"));
    runLoopFor(400);
    const QImage error = screenshot(x);
    for (const auto& [corner, beside] : cornerPoints(c.frame())) {
        EXPECT_EQ(error.pixelColor(corner), desktop)
            << "corner " << corner.x() << "," << corner.y();
    }
}

} // namespace
} // namespace skrib
