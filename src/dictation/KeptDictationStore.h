#pragma once

#include "platform/Scheduler.h"
#include "service/ProcessRequest.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace skrib {

/// A dictation whose audio waits on disk until the service has transcribed it.
struct KeptDictation {
    /// When it may be sent again without the user asking.
    enum class Wait {
        retry,   // the service could not be reached or failed: as soon as it answers again
        nextDay, // the daily limit was reached: after midnight UTC
        byHand,  // the service turned the request down: only when the user asks
    };

    std::string id;
    WallClock::time_point recordedAt;
    double seconds = 0;
    bool m4a = false;
    std::uint64_t audioBytes = 0;
    std::optional<std::string> vocab; // the vocabulary that applied
    std::string style;                // the writing style that applied
    std::string targetApp;            // the application it was meant for; empty when unknown
    Wait wait = Wait::retry;
    WallClock::time_point notBefore; // not sent again by itself before this (the daily limit)
    std::string lastError;           // the message the user saw

    friend bool operator==(const KeptDictation&, const KeptDictation&) = default;
};

/// The folder of kept dictations: each is its audio file ("ID.m4a" or "ID.wav") and its facts
/// ("ID.json"), both written whole or not at all, readable by the user only. A file that cannot
/// be read back is moved to "damaged/" beside them and never blocks the others. At most
/// the limits are kept: beyond them the oldest go. Thread-safe.
/// How much `KeptDictationStore` keeps at most.
struct KeptDictationLimits {
    std::size_t count = 50;
    std::uint64_t bytes = 500ull * 1000 * 1000;
};

class KeptDictationStore {
public:
    using Limits = KeptDictationLimits;

    explicit KeptDictationStore(std::string folder, Limits limits = {});

    /// Writes `audio` with `facts` (whose id, format, size and length are filled in here) ahead of its upload:
    /// quick, and durable against the program ending but not yet against a power cut (see
    /// `update`). None when it could not be written (logged).
    std::optional<KeptDictation> keep(const AudioPayload& audio, KeptDictation facts);
    /// Rewrites the facts of a kept dictation and flushes it to disk; false when it is gone.
    bool update(const KeptDictation& facts);
    /// The audio of a kept dictation; none when it is gone or damaged (moved aside, logged).
    std::optional<AudioPayload> audio(const KeptDictation& facts);
    /// Removes a kept dictation's files (nothing when they are gone).
    void remove(const std::string& id);
    /// Every kept dictation, oldest first. Damaged files are moved aside (logged) on the way.
    std::vector<KeptDictation> list();

    const std::string& folder() const { return folder_; }

private:
    bool prepareFolder();
    std::vector<KeptDictation> listLocked();
    void removeLocked(const std::string& id);
    void moveAside(const std::string& id, const std::string& why);
    void enforceLimits(const std::string& keepId);

    std::string folder_;
    Limits limits_;
    std::mutex lock_;
};

} // namespace skrib
