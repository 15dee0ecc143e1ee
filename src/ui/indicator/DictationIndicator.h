#pragma once

#include "platform/Subscription.h"
#include "state/Notifications.h"
#include "ui/indicator/CapsuleSize.h"
#include "ui/indicator/ScheduledAnimation.h"

#include <cstdint>
#include <memory>
#include <optional>

#include <QColor>
#include <QPoint>
#include <QString>
#include <QWidget>

class QGraphicsOpacityEffect;
class QLabel;

namespace skrib {

class Defaults;
class MiniEqualizer;
class NotificationCenter;
class OverlayWindows;
class Scheduler;

/// The capsule: a small pill at the top centre of the primary screen while the user dictates,
/// with the elapsed time between two rows of level bars. It then shows the processing state
/// (dimmed bars, pulsing grey time) and, on failure, a red message for two seconds. It is a
/// frameless, always-on-top tool window that never takes focus or activates the program.
/// Timers and fades run on the Scheduler. Main thread only.
class DictationIndicator : public QWidget {
public:
    /// Posted (no object) by whoever stores a new capsule size; the capsule picks it up.
    static constexpr const char* sizeChangedNotification = notifications::capsuleSizeChanged;

    struct TimeText {
        QString text;
        QColor color;
    };
    /// The time label `elapsed` seconds into a recording whose limit is `maxDuration` seconds
    /// (0: no limit): minutes and seconds in grey, or the seconds left in yellow in the last 30.
    static TimeText elapsedText(double elapsed, double maxDuration);

    /// `overlays` (may be null: no clipping, current desktop only) must outlive the capsule.
    DictationIndicator(Scheduler& scheduler, Defaults& defaults, NotificationCenter& notifications,
                       OverlayWindows* overlays = nullptr, QWidget* parent = nullptr);
    ~DictationIndicator() override;

    /// Shows the capsule recording: "0:00", live bars, the elapsed timer running.
    void showIndicator();
    /// The dictation's time limit in seconds; 0 means none.
    void setMaxDuration(double seconds) { maxDuration_ = seconds; }
    double maxDuration() const { return maxDuration_; }
    /// Hands one microphone level to both rows of bars.
    void pushLevel(float level);
    /// Freezes and dims the bars and pulses the last time in dark grey.
    void showProcessing();
    /// Shows `message` in red at the wider error width; hides two seconds later unless shown
    /// again meanwhile.
    void showError(const QString& message);
    /// Stops every timer and animation and fades the capsule out.
    void hideIndicator();

    QLabel* timerLabel() const { return timerLabel_; }
    MiniEqualizer* leftEQ() const { return leftEQ_; }
    MiniEqualizer* rightEQ() const { return rightEQ_; }
    CapsuleSize currentSize() const { return currentSize_; }
    std::uint64_t generation() const { return generation_; }
    double cornerRadius() const { return cornerRadius_; }
    /// The time label's opacity, which the processing pulse animates.
    double labelOpacity() const;
    /// True when the window is clipped to the pill because no compositor draws its
    /// transparent corners.
    bool usesWindowMask() const { return usesWindowMask_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void setupContent();
    void applySize(CapsuleSize size);
    void onSizeChanged();
    void layoutContent();
    void setLabel(const QString& text, const QColor& color);
    void setLabelOpacity(double opacity);
    void tickElapsed();
    /// The delayed end of the error state shown in generation `shown` with `size` in force.
    void endError(std::uint64_t shown, CapsuleSize size);
    void pulse();
    void stopPulse();
    void stopElapsed();
    void updateWindowMask();
    void place(QPoint origin);
    double frameInterval() const;

    Scheduler& scheduler_;
    Defaults& defaults_;
    OverlayWindows* overlays_;
    QLabel* timerLabel_ = nullptr;
    QGraphicsOpacityEffect* labelEffect_ = nullptr;
    MiniEqualizer* leftEQ_ = nullptr;
    MiniEqualizer* rightEQ_ = nullptr;
    std::shared_ptr<WorkItem> pulseTimer_;
    std::shared_ptr<WorkItem> elapsedTimer_;
    ScheduledAnimation pulseAnimation_;
    ScheduledAnimation fade_;
    std::optional<double> startTime_;
    double maxDuration_ = 0;
    std::uint64_t generation_ = 0;
    CapsuleSize currentSize_;
    int horizontalPad_; // the insets keep the size the capsule was built with
    double cornerRadius_ = 0;
    std::optional<QString> errorMessage_; // shown (shortened to fit) while in the error state
    bool usesWindowMask_ = false;
    QPoint origin_;                 // where the capsule was put (or dragged) on screen
    bool confirmPlacement_ = false; // until the fade-in ends
    std::optional<QPoint> dragOffset_;
    Subscription sizeObservation_;
};

} // namespace skrib
