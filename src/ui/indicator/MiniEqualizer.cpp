#include "ui/indicator/MiniEqualizer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace skrib {
namespace {

constexpr double pitch = MiniEqualizer::barW + MiniEqualizer::gap;
constexpr double phaseLimit = 6.28;
constexpr double phaseStepLow = 0.08;
constexpr double phaseStepHigh = 0.15;

MiniEqualizer::RandomSource defaultRandomSource() {
    auto engine = std::make_shared<std::mt19937>(std::random_device{}());
    return [engine](double low, double high, bool closed) {
        const double top =
            closed ? std::nextafter(high, std::numeric_limits<double>::infinity()) : high;
        double value = std::uniform_real_distribution<double>(low, top)(*engine);
        // The distribution may round up to its upper bound; keep open ranges open.
        if (!closed && value >= high) {
            value = low;
        }
        return value;
    };
}

} // namespace

MiniEqualizer::MiniEqualizer(Scheduler& scheduler, QWidget* parent)
    : QWidget(parent)
    , scheduler_(scheduler)
    , random_(defaultRandomSource()) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents); // drags go to the capsule behind
}

MiniEqualizer::~MiniEqualizer() {
    stopFrames();
}

void MiniEqualizer::reset() {
    const auto n = static_cast<std::size_t>(std::max(0, barCount_));
    barHeights_.assign(n, restingHeight);
    targetHeights_.assign(n, restingHeight);
    currentLevel_ = 0;
    dimmed_ = false;
    randomPhases();
    update();
}

void MiniEqualizer::pushLevel(float level) {
    currentLevel_ = level;
}

void MiniEqualizer::startRendering() {
    if (rendering_) {
        return;
    }
    rendering_ = true;
    if (isVisible()) {
        startFrames();
    }
}

void MiniEqualizer::stopRendering() {
    rendering_ = false;
    stopFrames();
}

double MiniEqualizer::frameInterval() const {
    const QScreen* s = screen();
    const double rate = s != nullptr ? s->refreshRate() : 0.0;
    return rate >= 1.0 ? 1.0 / rate : 1.0 / 60.0;
}

void MiniEqualizer::startFrames() {
    if (frames_) {
        return;
    }
    frames_ = scheduler_.scheduleRepeating(frameInterval(), [this] { tick(); });
}

void MiniEqualizer::stopFrames() {
    if (frames_) {
        frames_->cancel();
        frames_.reset();
    }
}

void MiniEqualizer::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (rendering_) {
        startFrames();
    }
}

void MiniEqualizer::hideEvent(QHideEvent* event) {
    // Nothing to see: no frames until the view shows again.
    stopFrames();
    QWidget::hideEvent(event);
}

void MiniEqualizer::randomPhases() {
    barPhases_.resize(static_cast<std::size_t>(std::max(0, barCount_)));
    for (float& phase : barPhases_) {
        phase = static_cast<float>(random_(0.0, phaseLimit, false));
    }
}

void MiniEqualizer::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutBars();
}

void MiniEqualizer::layoutBars() {
    const double w = width();
    if (w <= 0) {
        return;
    }
    const int n = std::max(3, static_cast<int>(w / pitch));
    if (n == barCount_) {
        return;
    }
    barCount_ = n;
    const auto count = static_cast<std::size_t>(n);
    barHeights_.assign(count, restingHeight);
    targetHeights_.assign(count, restingHeight);
    barWeights_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto s = static_cast<float>(std::sin(static_cast<double>(i) * 1.7));
        barWeights_[i] = 0.6f + std::abs(s * 0.35f);
    }
    randomPhases();
}

void MiniEqualizer::tick() {
    if (barCount_ <= 0) {
        return;
    }
    const double maxH = height() / 2.0 - 1.0;
    const double norm = std::min(static_cast<double>(currentLevel_) / 0.05, 1.0);
    for (std::size_t i = 0; i < static_cast<std::size_t>(barCount_); ++i) {
        if (i < barPhases_.size()) {
            barPhases_[i] += static_cast<float>(random_(phaseStepLow, phaseStepHigh, true));
        }
        const float phase = i < barPhases_.size() ? barPhases_[i] : 0.0f;
        const double wobble = static_cast<double>(std::sin(phase)) * 0.15 + 0.85;
        const double weight = i < barWeights_.size() ? static_cast<double>(barWeights_[i]) : 0.8;
        const double target = norm * weight * wobble * maxH + restingHeight;
        if (i < targetHeights_.size()) {
            targetHeights_[i] = target;
        }
        if (i < barHeights_.size() && i < targetHeights_.size()) {
            double& bar = barHeights_[i];
            const double rate = bar < target ? 0.4 : 0.15;
            bar += (target - bar) * rate;
        }
    }
    update();
}

QColor MiniEqualizer::barColor(double t, bool dimmed) {
    const double a = dimmed ? 0.25 : 1.0;
    if (t > 0.4) {
        return QColor::fromRgbF(0.18f, 0.82f, 0.55f, static_cast<float>((0.7 + 0.3 * t) * a));
    }
    if (t > 0.05) {
        return QColor::fromRgbF(0.15f, 0.55f, 0.4f, static_cast<float>((0.35 + 0.5 * t) * a));
    }
    return QColor::fromRgbF(0.3f, 0.3f, 0.3f, static_cast<float>(0.25 * a));
}

void MiniEqualizer::paintEvent(QPaintEvent*) {
    if (barCount_ < 1) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const double w = width();
    const double h = height();
    const double midY = h / 2;
    const double total = barCount_ * barW + (barCount_ - 1) * gap;
    const double x0 = (w - total) / 2;
    for (int i = 0; i < barCount_; ++i) {
        const auto index = static_cast<std::size_t>(i);
        const double x = x0 + i * pitch;
        const double bh = index < barHeights_.size() ? barHeights_[index] : restingHeight;
        const double t = (bh - restingHeight) / std::max(h / 2, 1.0);
        QPainterPath bar;
        bar.setFillRule(Qt::WindingFill);
        bar.addRoundedRect(QRectF(x, midY - bh, barW, 2 * bh), barW / 2, barW / 2);
        painter.fillPath(bar, barColor(t, dimmed_));
    }
}

} // namespace skrib
