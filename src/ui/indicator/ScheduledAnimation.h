#pragma once

#include "platform/Scheduler.h"

#include <functional>
#include <memory>

namespace skrib {

/// A linear animation of one number, stepped by frames on the Scheduler so that it runs in
/// virtual time under test. Starting it again replaces the running animation without
/// finishing it; destroying it stops it.
class ScheduledAnimation {
public:
    using ValueHandler = std::function<void(double)>;
    using FinishHandler = std::function<void()>;

    explicit ScheduledAnimation(Scheduler& scheduler);
    ~ScheduledAnimation();
    ScheduledAnimation(const ScheduledAnimation&) = delete;
    ScheduledAnimation& operator=(const ScheduledAnimation&) = delete;

    /// Goes from `from` to `to` over `duration` seconds (and back again over as long when
    /// `autoreverses`), calling `onValue` at once and on every frame, then `onFinished` after
    /// the last value.
    void start(double from, double to, double duration, bool autoreverses, double frameInterval,
               ValueHandler onValue, FinishHandler onFinished = {});
    /// Stops where it is; `onFinished` is not called.
    void stop();
    bool isRunning() const { return frames_ != nullptr; }

private:
    void frame();

    Scheduler& scheduler_;
    std::shared_ptr<WorkItem> frames_;
    double from_ = 0, to_ = 0, duration_ = 0, startTime_ = 0;
    bool autoreverses_ = false;
    ValueHandler onValue_;
    FinishHandler onFinished_;
};

} // namespace skrib
