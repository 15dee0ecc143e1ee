#include "ui/indicator/ScheduledAnimation.h"

#include <algorithm>
#include <utility>

namespace skrib {

ScheduledAnimation::ScheduledAnimation(Scheduler& scheduler)
    : scheduler_(scheduler) {}

ScheduledAnimation::~ScheduledAnimation() {
    stop();
}

void ScheduledAnimation::start(double from, double to, double duration, bool autoreverses,
                               double frameInterval, ValueHandler onValue,
                               FinishHandler onFinished) {
    stop();
    from_ = from;
    to_ = to;
    duration_ = std::max(0.0, duration);
    autoreverses_ = autoreverses;
    startTime_ = scheduler_.absoluteTime();
    onValue_ = std::move(onValue);
    onFinished_ = std::move(onFinished);
    onValue_(from_);
    frames_ = scheduler_.scheduleRepeating(frameInterval, [this] { frame(); });
}

void ScheduledAnimation::stop() {
    if (frames_) {
        frames_->cancel();
        frames_.reset();
    }
}

void ScheduledAnimation::frame() {
    const double total = autoreverses_ ? 2 * duration_ : duration_;
    const double elapsed = scheduler_.absoluteTime() - startTime_;
    if (elapsed >= total) {
        stop();
        // Handlers may start the next animation, so take them out first.
        auto onValue = std::move(onValue_);
        auto onFinished = std::move(onFinished_);
        onValue(autoreverses_ ? from_ : to_);
        if (onFinished) {
            onFinished();
        }
        return;
    }
    double progress = duration_ > 0 ? elapsed / duration_ : 1.0;
    if (progress > 1.0) {
        progress = 2.0 - progress; // on the way back
    }
    onValue_(from_ + (to_ - from_) * progress);
}

} // namespace skrib
