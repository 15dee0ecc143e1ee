#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <pulse/pulseaudio.h>
#include <string>
#include <vector>

namespace skrib {

/// What the program needs to know about one PulseAudio source.
struct PulseSource {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    bool monitor = false; // a sink's monitor, not a microphone
    bool builtIn = false;
    pa_sample_spec sampleSpec{};
    pa_channel_map channelMap{};

    /// The name to show: the description, else the source's name.
    const std::string& displayName() const { return description.empty() ? name : description; }
};

/// The outcome of looking one source up: `answered` is false when the server could not be
/// asked; `source` is none when it answered that there is no such source.
struct PulseSourceLookup {
    bool answered = false;
    std::optional<PulseSource> source;
};

/// One threaded PulseAudio main loop with one client context on it, and blocking queries for
/// callers on other threads. Every wait ends when the context fails, and after `timeout` at the
/// latest, so a dead or silent server never hangs the caller.
///
/// Callbacks registered here run on the loop thread with the loop lock held. Blocking queries
/// called on the loop thread answer "not answered" at once: the loop cannot wait for itself.
class PulseConnection {
public:
    static constexpr std::chrono::milliseconds timeout{5000};

    /// Holds the loop lock for its lifetime (nothing when already on the loop thread, where the
    /// lock is held by the caller's callback).
    class Lock {
    public:
        explicit Lock(PulseConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    /// Starts the loop thread; connects on `connect()`. `clientName` is what the server shows.
    explicit PulseConnection(std::string clientName);
    /// Shuts down.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    /// Disconnects and stops the loop thread; no callback runs after this. Owners call it
    /// before they let go of the connection, as their callbacks reach the loop through it.
    /// Not on the loop thread. Harmless when repeated.
    void shutdown();

    /// Connects (a fresh context when the last one failed) unless connected already; waits at
    /// most `timeout`. Answers whether the context is ready. After a failed attempt, further
    /// attempts within `retryInterval` answer false at once, so a dead server costs little;
    /// after one that timed out, for at least `silentServerHoldOff` (when `retryInterval` > 0),
    /// so a server that accepts but never answers does not stall the caller every second.
    bool connect(std::chrono::milliseconds retryInterval = std::chrono::milliseconds{0});

    static constexpr std::chrono::seconds silentServerHoldOff{30};

    /// Whether the context is ready.
    bool connected();

    /// The last connection or server error, in PulseAudio's words.
    std::string errorText();

    /// Called on the loop thread whenever the context becomes ready (after every connect).
    void setReadyHandler(std::function<void()> handler);
    /// Called on the loop thread when the context fails or terminates.
    void setFailureHandler(std::function<void()> handler);
    /// Called on the loop thread for every subscribed server event.
    void setEventHandler(std::function<void(pa_subscription_event_type_t, std::uint32_t)> handler);

    /// The context; use only with the lock held (or on the loop thread).
    pa_context* context() { return context_; }
    pa_threaded_mainloop* loop() { return loop_; }
    bool inLoopThread() const;

    /// Wakes every waiter; call from loop callbacks whose outcome a waiter checks.
    void signal();

    /// With the lock held, not on the loop thread: waits until `done()`, until the context
    /// fails or after `limit`. Answers `done()`.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = timeout);

    /// With the lock held: waits for `operation` to finish and releases it; cancels it when it
    /// does not finish in time. Answers whether it finished. A null operation answers false.
    bool complete(pa_operation* operation, std::chrono::milliseconds limit = timeout);

    // Blocking queries; they take the lock themselves.

    /// Every source in the server's order; none when the server cannot be asked.
    std::optional<std::vector<PulseSource>> sources();
    PulseSourceLookup sourceByIndex(std::uint32_t index);
    PulseSourceLookup sourceByName(const std::string& name);
    /// The default source's name, empty when the server has none; none when it cannot be asked.
    std::optional<std::string> defaultSourceName();

    /// Reads what the program needs from a source description.
    static PulseSource describe(const pa_source_info& info);

private:
    static void onContextState(pa_context* context, void* self);
    static void onContextEvent(pa_context* context, pa_subscription_event_type_t type,
                               std::uint32_t index, void* self);
    static void onSignal(pa_operation* operation, void* self);
    void releaseContext(); // lock held
    void rememberError();  // lock held
    PulseSourceLookup lookup(const std::function<pa_operation*(void*)>& start);

    std::string clientName_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::string error_;
    std::optional<std::chrono::steady_clock::time_point> lastFailure_;
    bool lastFailureTimedOut_ = false;
    std::function<void()> readyHandler_;
    std::function<void()> failureHandler_;
    std::function<void(pa_subscription_event_type_t, std::uint32_t)> eventHandler_;
};

} // namespace skrib
