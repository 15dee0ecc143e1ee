#include "dictation/KeptDictations.h"

#include "log/DebugLog.h"
#include "platform/TextFormat.h"
#include "state/Notifications.h"

#include <algorithm>
#include <cstdio>

namespace skrib {
namespace {

// How a failed upload waits to be sent again: the daily limit until midnight UTC; a request
// the service turned down until the user asks; anything else (no connection, a timeout, a
// server fault, an answer that cannot be read) as soon as the service answers again.
KeptDictation::Wait waitAfter(const ProcessResult& result) {
    if (result.kind == ProcessResult::Kind::rateLimited) {
        return KeptDictation::Wait::nextDay;
    }
    if (result.status >= 400 && result.status < 500) {
        return KeptDictation::Wait::byHand;
    }
    return KeptDictation::Wait::retry;
}

WallClock::time_point nextMidnightUTC(WallClock::time_point now) {
    // The system clock counts from a midnight UTC, in days of 86400 seconds.
    return std::chrono::floor<std::chrono::days>(now) + std::chrono::days(1);
}

} // namespace

KeptDictations::KeptDictations(Environment environment)
    : env_(std::move(environment)) {}

KeptDictations::~KeptDictations() {
    if (nextCheck_) {
        nextCheck_->cancel();
    }
}

std::string KeptDictations::keepAhead(const AudioPayload& audio, KeptDictation facts) {
    const std::optional<KeptDictation> kept = env_.store.keep(audio, std::move(facts));
    if (!kept) {
        return {};
    }
    std::lock_guard guard(sendingLock_);
    sending_[kept->id] = {*kept, Origin::live};
    return kept->id;
}

void KeptDictations::liveFinished(const std::string& id, const ProcessResult& result,
                                  bool wanted) {
    std::optional<KeptDictation> kept;
    {
        std::lock_guard guard(sendingLock_);
        if (const auto it = sending_.find(id); it != sending_.end()) {
            kept = it->second.kept;
            sending_.erase(it);
        }
    }
    if (!kept) {
        return;
    }
    if (result.kind == ProcessResult::Kind::success || !wanted) {
        env_.store.remove(id);
        if (result.kind == ProcessResult::Kind::success) {
            serviceAnswered();
        }
        return;
    }
    keepFailed(std::move(*kept), result);
}

// What the failure means for when the dictation may go again.
void KeptDictations::noteFailure(KeptDictation& kept, const ProcessResult& result) {
    kept.wait = waitAfter(result);
    kept.lastError = result.kind == ProcessResult::Kind::rateLimited ? "Daily limit reached"
                                                                      : result.message;
    if (kept.wait == KeptDictation::Wait::nextDay) {
        limitReached(kept);
    }
}

void KeptDictations::keepFailed(KeptDictation kept, const ProcessResult& result) {
    noteFailure(kept, result);
    if (!env_.store.update(kept)) {
        return;
    }
    char line[128];
    std::snprintf(line, sizeof line, "💾 Kept failed dictation for retry (%.1fs, %.0fKB)",
                  kept.seconds, static_cast<double>(kept.audioBytes) / 1024.0);
    debugLog(line);
    changed();
    if (!shutDown_ && kept.wait != KeptDictation::Wait::byHand && !nextCheck_ && !retrying_) {
        if (kept.wait == KeptDictation::Wait::retry) {
            backOff();
        } else {
            scheduleCheck(0); // finds the time the limit lifts
        }
    }
}

void KeptDictations::start() {
    changed();
    scheduleCheck(launchCheckSeconds);
}

void KeptDictations::retryAll() {
    for (const KeptDictation& kept : waiting()) {
        askedFor_.push_back(kept.id);
    }
    scheduleCheck(0);
}

void KeptDictations::retry(const std::string& id) {
    askedFor_.push_back(id);
    scheduleCheck(0);
}

std::vector<KeptDictation> KeptDictations::waiting() {
    std::vector<KeptDictation> kept = env_.store.list();
    std::erase_if(kept, [this](const KeptDictation& k) { return isSending(k.id); });
    return kept;
}

bool KeptDictations::isSending(const std::string& id) {
    std::lock_guard guard(sendingLock_);
    return sending_.count(id) != 0;
}

void KeptDictations::scheduleCheck(double seconds) {
    if (nextCheck_) {
        nextCheck_->cancel();
    }
    std::weak_ptr<KeptDictations*> weak = self_;
    nextCheck_ = env_.mainQueue.postAfter(seconds, [weak] {
        if (auto self = weak.lock()) {
            (*self)->nextCheck_.reset();
            (*self)->check();
        }
    });
}

void KeptDictations::check() {
    if (shutDown_ || retrying_) {
        return; // the retry under way checks again when it ends
    }
    std::vector<KeptDictation> kept = waiting();
    // What the user asked for goes first, whatever it waits for.
    while (!askedFor_.empty()) {
        const std::string id = askedFor_.front();
        askedFor_.pop_front();
        const auto it = std::find_if(kept.begin(), kept.end(),
                                     [&](const KeptDictation& k) { return k.id == id; });
        if (it != kept.end()) {
            send(*it, Origin::byHand);
            return;
        }
    }
    if (env_.appState.state.get() != SkribState::idle) {
        // Never while a dictation runs: look again once it is over.
        std::weak_ptr<KeptDictations*> weak = self_;
        idleObserver_ = env_.appState.state.subscribe([weak, this](const SkribState& state) {
            if (state == SkribState::idle) {
                env_.mainQueue.post([weak] {
                    if (auto self = weak.lock()) {
                        (*self)->idleObserver_ = {};
                        (*self)->check();
                    }
                });
            }
        });
        return;
    }
    idleObserver_ = {};
    const WallClock::time_point now = env_.mainQueue.now();
    std::optional<WallClock::time_point> soonest;
    for (const KeptDictation& k : kept) {
        if (k.wait == KeptDictation::Wait::byHand) {
            continue;
        }
        const WallClock::time_point notBefore =
            limitLifted_ ? WallClock::time_point() : std::max(k.notBefore, limitUntil_);
        if (now >= notBefore) {
            send(k, Origin::automatic);
            return;
        }
        soonest = std::min(soonest.value_or(notBefore), notBefore);
    }
    if (soonest) {
        scheduleCheck(std::chrono::duration<double>(*soonest - now).count() + 1);
    }
}

void KeptDictations::send(KeptDictation kept, Origin origin) {
    std::optional<AudioPayload> audio = env_.store.audio(kept);
    if (!audio) { // damaged: moved aside, the others go on
        changed();
        scheduleCheck(0);
        return;
    }
    {
        std::lock_guard guard(sendingLock_);
        sending_[kept.id] = {kept, origin};
    }
    retrying_ = true;
    char line[96];
    std::snprintf(line, sizeof line, "🔁 Retrying kept dictation (%.1fs)", kept.seconds);
    debugLog(line);
    changed();
    std::weak_ptr<KeptDictations*> weak = self_;
    Scheduler* queue = &env_.mainQueue;
    std::optional<std::string> vocab = kept.vocab;
    env_.send(std::move(*audio), std::move(vocab),
              [weak, queue, kept = std::move(kept)](ProcessResult result) {
                  queue->post([weak, kept, result = std::move(result)] {
                      if (auto self = weak.lock()) {
                          (*self)->retried(kept, result);
                      }
                  });
              });
}

void KeptDictations::retried(KeptDictation kept, const ProcessResult& result) {
    {
        std::lock_guard guard(sendingLock_);
        sending_.erase(kept.id);
    }
    retrying_ = false;
    if (shutDown_) {
        return;
    }
    switch (result.kind) {
    case ProcessResult::Kind::success: {
        const std::string text = result.refined ? *result.refined : result.raw.value_or("");
        if (text.empty()) {
            debugLog("🔇 Kept dictation held no words — removed");
        } else {
            env_.deliver(text, kept.recordedAt);
            debugLog("✅ Kept dictation transcribed: " + utf8Prefix(text, 60) + "...");
        }
        env_.store.remove(kept.id); // only once the text is in the history
        changed();
        serviceAnswered(); // the next one
        return;
    }
    default:
        break;
    }
    noteFailure(kept, result);
    if (kept.wait != KeptDictation::Wait::byHand) {
        askedFor_.clear(); // the service is down or at its limit: the others would fare alike
    }
    env_.store.update(kept);
    changed();
    if (kept.wait == KeptDictation::Wait::retry) {
        backOff();
    } else {
        scheduleCheck(0); // the next one, or the time the limit lifts
    }
}

// The service is still failing: look again later, twice as late each time.
void KeptDictations::backOff() {
    scheduleCheck(nextDelay_);
    nextDelay_ = std::min(nextDelay_ * 2, longestCheckSeconds);
}

void KeptDictations::serviceAnswered() {
    nextDelay_ = firstCheckSeconds;
    limitUntil_ = {};
    limitLifted_ = true;
    scheduleCheck(0);
}

void KeptDictations::limitReached(KeptDictation& kept) {
    limitUntil_ = nextMidnightUTC(env_.mainQueue.now());
    limitLifted_ = false;
    kept.notBefore = limitUntil_;
}

void KeptDictations::shutDown() {
    shutDown_ = true;
    if (nextCheck_) {
        nextCheck_->cancel();
        nextCheck_.reset();
    }
    idleObserver_ = {};
    std::map<std::string, Sending> sending;
    {
        std::lock_guard guard(sendingLock_);
        sending.swap(sending_);
    }
    for (auto& [id, entry] : sending) {
        if (entry.origin == Origin::live) {
            keepFailed(entry.kept, ProcessResult::error("Vantu Skrib quit before the service answered"));
        }
    }
}

void KeptDictations::changed() {
    env_.center.post(notifications::keptDictationsChanged);
}

} // namespace skrib
