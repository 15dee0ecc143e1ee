#pragma once

#include "dictation/KeptDictationStore.h"
#include "platform/NotificationCenter.h"
#include "platform/Scheduler.h"
#include "platform/Subscription.h"
#include "service/ProcessRequest.h"
#include "state/AppState.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace skrib {

/// No dictation is lost to a failing service: every upload's audio is kept on disk until its
/// text has arrived, and what failed is sent again — by itself, oldest first, once the service
/// answers again (looked at after 30 s, then twice as long each time up to 10 min, at once after
/// any success, after midnight UTC when the daily limit was reached (or once a request
/// succeeds again), never while a dictation runs; a request the service turned down only when the user asks), or by hand. A transcribed
/// kept dictation goes to the history at its own time and onto the clipboard, never into
/// whatever window is in front by then. Main thread, except `keepAhead`.
class KeptDictations {
public:
    static constexpr double firstCheckSeconds = 30;
    static constexpr double longestCheckSeconds = 600;
    /// The first look after launch, once the program has settled.
    static constexpr double launchCheckSeconds = 3;

    struct Environment {
        KeptDictationStore& store;
        Scheduler& mainQueue;
        AppState& appState;
        NotificationCenter& center;
        /// Uploads kept audio with the vocabulary that applied; the completion runs once, on
        /// any thread.
        std::function<void(AudioPayload, std::optional<std::string> vocab,
                           std::function<void(ProcessResult)>)>
            send;
        /// Puts a transcribed kept dictation in the history at the time it was recorded and on
        /// the clipboard, and tells the user.
        std::function<void(const std::string& text, WallClock::time_point recordedAt)> deliver;
    };

    explicit KeptDictations(Environment environment);
    ~KeptDictations();
    KeptDictations(const KeptDictations&) = delete;
    KeptDictations& operator=(const KeptDictations&) = delete;

    /// A live upload's audio, kept before it is sent (any thread). Its id, or empty when it
    /// could not be kept.
    std::string keepAhead(const AudioPayload& audio, KeptDictation facts);
    /// A live upload's outcome, once its text (if any) is in the history: a success or an
    /// unwanted answer (cancelled) lets the audio go; a failure keeps it for a retry.
    void liveFinished(const std::string& id, const ProcessResult& result, bool wanted);

    /// Starts looking for kept dictations to send (shortly after launch).
    void start();
    /// Sends every kept dictation now, oldest first, whatever it waits for.
    void retryAll();
    /// Sends one kept dictation now.
    void retry(const std::string& id);
    /// The kept dictations not being sent right now, oldest first.
    std::vector<KeptDictation> waiting();
    /// Program end: uploads still under way stay kept for the next start.
    void shutDown();

private:
    enum class Origin { live, automatic, byHand };
    struct Sending {
        KeptDictation kept;
        Origin origin = Origin::live;
    };

    void check();
    void scheduleCheck(double seconds);
    void send(KeptDictation kept, Origin origin);
    void retried(KeptDictation kept, const ProcessResult& result);
    void backOff();
    void keepFailed(KeptDictation kept, const ProcessResult& result);
    void noteFailure(KeptDictation& kept, const ProcessResult& result);
    void serviceAnswered();
    void limitReached(KeptDictation& kept);
    void changed();
    bool isSending(const std::string& id);

    Environment env_;
    std::mutex sendingLock_;
    std::map<std::string, Sending> sending_;       // live and retried uploads under way
    std::deque<std::string> askedFor_;             // retries the user asked for, in order
    bool retrying_ = false;                        // one retry at a time
    double nextDelay_ = firstCheckSeconds;
    WallClock::time_point limitUntil_;             // the daily limit holds until then
    bool limitLifted_ = false; // a success since the last daily-limit answer: none waits for it
    std::shared_ptr<WorkItem> nextCheck_;
    Subscription idleObserver_;
    bool shutDown_ = false;
    std::shared_ptr<KeptDictations*> self_ = std::make_shared<KeptDictations*>(this);
};

} // namespace skrib
