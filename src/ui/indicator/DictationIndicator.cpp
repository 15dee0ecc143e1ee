#include "ui/indicator/DictationIndicator.h"

#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "platform/OverlayWindows.h"
#include "platform/Scheduler.h"
#include "ui/HexColor.h"
#include "ui/indicator/MiniEqualizer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <QFontDatabase>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QRegion>
#include <QScreen>

namespace skrib {
namespace {

constexpr double fadeInSeconds = 0.15;
constexpr double fadeOutSeconds = 0.12;
constexpr double errorSeconds = 2.0;
constexpr int labelSpacing = 6;
constexpr int topMargin = 6;

QColor backgroundColor() {
    QColor c = hexColor(QStringLiteral("#111114"));
    c.setAlphaF(0.92f);
    return c;
}
QColor borderColor() {
    return QColor::fromRgbF(1, 1, 1, 0.08f);
}
QColor recordingColor() {
    return hexColor(QStringLiteral("#AAAAAA"));
}
QColor countdownColor() {
    return hexColor(QStringLiteral("#FACC15"));
}
QColor errorColor() {
    return hexColor(QStringLiteral("#EF4444"));
}
QColor processingColor() {
    return hexColor(QStringLiteral("#666666"));
}

QFont labelFont(int size) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setWeight(QFont::Medium);
    font.setPixelSize(size);
    return font;
}

} // namespace

DictationIndicator::TimeText DictationIndicator::elapsedText(double elapsed, double maxDuration) {
    const double remaining =
        maxDuration > 0 ? maxDuration - elapsed : std::numeric_limits<double>::infinity();
    if (remaining <= 30 && maxDuration > 0) {
        const auto left = static_cast<long long>(std::max(0.0, std::trunc(remaining)));
        return {QStringLiteral("0:%1").arg(left, 2, 10, QLatin1Char('0')), countdownColor()};
    }
    const auto s = static_cast<long long>(std::trunc(elapsed));
    return {QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0')),
            recordingColor()};
}

DictationIndicator::DictationIndicator(Scheduler& scheduler, Defaults& defaults,
                                       NotificationCenter& notifications, OverlayWindows* overlays,
                                       QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus)
    , scheduler_(scheduler)
    , defaults_(defaults)
    , overlays_(overlays)
    , pulseAnimation_(scheduler)
    , fade_(scheduler)
    , currentSize_(CapsuleSize::stored(defaults))
    , horizontalPad_(currentSize_.horizontalPad()) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    setWindowTitle(QStringLiteral("Vantu Skrib"));
    resize(currentSize_.width(), currentSize_.height());
    setupContent();
    sizeObservation_ = notifications.addObserver(sizeChangedNotification, &scheduler_,
                                                 [this](const Notification&) { onSizeChanged(); });
}

DictationIndicator::~DictationIndicator() {
    stopPulse();
    stopElapsed();
}

void DictationIndicator::setupContent() {
    timerLabel_ = new QLabel(QStringLiteral("0:00"), this);
    timerLabel_->setAlignment(Qt::AlignCenter);
    timerLabel_->setTextInteractionFlags(Qt::NoTextInteraction);
    timerLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    labelEffect_ = new QGraphicsOpacityEffect(timerLabel_);
    labelEffect_->setEnabled(false); // drawn directly while fully opaque
    timerLabel_->setGraphicsEffect(labelEffect_);
    leftEQ_ = new MiniEqualizer(scheduler_, this);
    rightEQ_ = new MiniEqualizer(scheduler_, this);
    setLabel(QStringLiteral("0:00"), recordingColor());
    applySize(currentSize_);
}

void DictationIndicator::applySize(CapsuleSize size) {
    cornerRadius_ = size.height() / 2.0;
    timerLabel_->setFont(labelFont(size.fontSize()));
    layoutContent();
    updateWindowMask();
    update();
}

void DictationIndicator::onSizeChanged() {
    currentSize_ = CapsuleSize::stored(defaults_);
    applySize(currentSize_);
}

double DictationIndicator::frameInterval() const {
    const QScreen* s = screen();
    const double rate = s != nullptr ? s->refreshRate() : 0.0;
    return rate >= 1.0 ? 1.0 / rate : 1.0 / 60.0;
}

void DictationIndicator::showIndicator() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    ++generation_;
    errorMessage_.reset();
    const QRect visible = screen->availableGeometry();
    resize(currentSize_.width(), currentSize_.height());
    place({visible.x() + visible.width() / 2 - currentSize_.width() / 2, visible.y() + topMargin});
    setLabel(QStringLiteral("0:00"), recordingColor());
    leftEQ_->reset();
    rightEQ_->reset();
    startTime_ = scheduler_.absoluteTime();

    // A compositor may have come or gone since the last show.
    usesWindowMask_ = overlays_ != nullptr && overlays_->compositorMissing();
    updateWindowMask();
    setWindowOpacity(0.0);
    if (!isVisible() && overlays_ != nullptr) {
        overlays_->showOnAllDesktops(static_cast<std::uint64_t>(winId()));
    }
    show();
    confirmPlacement_ = true;
    fade_.start(
        0.0, 1.0, fadeInSeconds, false, frameInterval(),
        [this](double alpha) { setWindowOpacity(alpha); }, [this] { confirmPlacement_ = false; });

    stopElapsed();
    elapsedTimer_ = scheduler_.scheduleRepeating(1.0, [this] { tickElapsed(); });
    leftEQ_->startRendering();
    rightEQ_->startRendering();
}

void DictationIndicator::tickElapsed() {
    if (!startTime_) {
        return;
    }
    const TimeText t = elapsedText(scheduler_.absoluteTime() - *startTime_, maxDuration_);
    setLabel(t.text, t.color);
}

void DictationIndicator::pushLevel(float level) {
    leftEQ_->pushLevel(level);
    rightEQ_->pushLevel(level);
}

void DictationIndicator::showProcessing() {
    stopPulse();
    stopElapsed();
    for (MiniEqualizer* eq : {leftEQ_, rightEQ_}) {
        eq->stopRendering();
        eq->setDimmed(true);
        eq->update();
    }
    setLabel(timerLabel_->text(), processingColor());
    pulseTimer_ = scheduler_.scheduleRepeating(1.0, [this] { pulse(); });
}

void DictationIndicator::pulse() {
    pulseAnimation_.start(1.0, 0.4, 0.5, true, frameInterval(),
                          [this](double opacity) { setLabelOpacity(opacity); });
}

void DictationIndicator::showError(const QString& message) {
    stopPulse();
    stopElapsed();
    leftEQ_->stopRendering();
    rightEQ_->stopRendering();
    errorMessage_ = message;
    const CapsuleSize size = currentSize_;
    resize(size.errorWidth(), size.height());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect visible = screen->availableGeometry();
        place({visible.x() + visible.width() / 2 - size.errorWidth() / 2, origin_.y()});
    }
    setLabel(message, errorColor());

    // Held weakly: a capsule destroyed meanwhile is left alone.
    auto endError = [self = QPointer<DictationIndicator>(this), shown = generation_, size] {
        if (self != nullptr) {
            self->endError(shown, size);
        }
    };
    scheduler_.postAfter(errorSeconds, std::move(endError));
}

void DictationIndicator::endError(std::uint64_t shown, CapsuleSize size) {
    if (generation_ != shown) {
        return; // shown again meanwhile
    }
    hideIndicator();
    resize(size.width(), size.height());
}

void DictationIndicator::hideIndicator() {
    stopPulse();
    stopElapsed();
    leftEQ_->stopRendering();
    rightEQ_->stopRendering();
    startTime_.reset();
    confirmPlacement_ = false;
    fade_.start(
        windowOpacity(), 0.0, fadeOutSeconds, false, frameInterval(),
        [this](double alpha) { setWindowOpacity(alpha); }, [this] { hide(); });
}

void DictationIndicator::stopPulse() {
    if (pulseTimer_) {
        pulseTimer_->cancel();
        pulseTimer_.reset();
    }
    pulseAnimation_.stop();
    setLabelOpacity(1.0);
}

void DictationIndicator::stopElapsed() {
    if (elapsedTimer_) {
        elapsedTimer_->cancel();
        elapsedTimer_.reset();
    }
}

double DictationIndicator::labelOpacity() const {
    return labelEffect_->isEnabled() ? labelEffect_->opacity() : 1.0;
}

void DictationIndicator::setLabelOpacity(double opacity) {
    labelEffect_->setOpacity(opacity);
    labelEffect_->setEnabled(opacity < 1.0);
}

void DictationIndicator::setLabel(const QString& text, const QColor& color) {
    timerLabel_->setText(text);
    QPalette palette = timerLabel_->palette();
    palette.setColor(QPalette::WindowText, color);
    timerLabel_->setPalette(palette);
    layoutContent();
}

void DictationIndicator::layoutContent() {
    if (timerLabel_ == nullptr) {
        return;
    }
    const int w = width();
    const int h = height();
    const int room = std::max(0, w - 2 * horizontalPad_);
    if (errorMessage_) {
        // A message longer than the capsule is shortened with an ellipsis.
        timerLabel_->setText(
            timerLabel_->fontMetrics().elidedText(*errorMessage_, Qt::ElideRight, room));
    }
    const QSize hint = timerLabel_->sizeHint();
    const int labelWidth = std::min(hint.width(), room);
    const int labelX = (w - labelWidth) / 2;
    timerLabel_->setGeometry(labelX, (h - hint.height()) / 2, labelWidth, hint.height());

    const int eqHeight = currentSize_.eqHeight();
    const int eqY = (h - eqHeight) / 2;
    leftEQ_->setGeometry(horizontalPad_, eqY, std::max(0, labelX - labelSpacing - horizontalPad_),
                         eqHeight);
    const int rightX = labelX + labelWidth + labelSpacing;
    rightEQ_->setGeometry(rightX, eqY, std::max(0, w - horizontalPad_ - rightX), eqHeight);
}

void DictationIndicator::updateWindowMask() {
    if (!usesWindowMask_) {
        clearMask();
        return;
    }
    const double r = std::min({cornerRadius_, width() / 2.0, height() / 2.0});
    QPainterPath pill;
    pill.addRoundedRect(QRectF(rect()), r, r);
    setMask(QRegion(pill.toFillPolygon().toPolygon()));
}

void DictationIndicator::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutContent();
    updateWindowMask();
}

void DictationIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF pill = QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25);
    const double r = std::max(0.0, std::min({cornerRadius_, width() / 2.0, height() / 2.0}) - 0.25);
    painter.setPen(QPen(borderColor(), 0.5));
    painter.setBrush(backgroundColor());
    painter.drawRoundedRect(pill, r, r);
}

void DictationIndicator::place(QPoint origin) {
    origin_ = origin;
    move(origin);
}

void DictationIndicator::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (!isVisible() || pos() == origin_) {
        return;
    }
    if (!confirmPlacement_) {
        origin_ = pos(); // moved by someone else: the window manager, or its owner
        return;
    }
    // A window manager that reparents the window just after mapping it can leave Qt believing
    // the window sits at its frame's first corner while it is where it was put. Asking for the
    // same place once more makes the manager confirm the real position.
    confirmPlacement_ = false;
    scheduler_.post([self = QPointer<DictationIndicator>(this)] {
        if (self != nullptr) {
            self->move(self->origin_);
        }
    });
}

void DictationIndicator::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragOffset_ = event->globalPosition().toPoint() - origin_;
    }
    QWidget::mousePressEvent(event);
}

void DictationIndicator::mouseMoveEvent(QMouseEvent* event) {
    if (dragOffset_ && (event->buttons() & Qt::LeftButton)) {
        place(event->globalPosition().toPoint() - *dragOffset_);
    }
    QWidget::mouseMoveEvent(event);
}

void DictationIndicator::mouseReleaseEvent(QMouseEvent* event) {
    dragOffset_.reset();
    QWidget::mouseReleaseEvent(event);
}

} // namespace skrib
