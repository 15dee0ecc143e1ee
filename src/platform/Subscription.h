#pragma once

#include <functional>
#include <utility>

namespace skrib {

/// Keeps an observation alive. The observation ends when the token is dropped (destroyed or
/// reassigned) or when `cancel()` is called, whichever comes first; ending it twice is harmless.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> onCancel)
        : onCancel_(std::move(onCancel)) {}
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    Subscription(Subscription&& other) noexcept
        : onCancel_(std::exchange(other.onCancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            cancel();
            onCancel_ = std::exchange(other.onCancel_, {});
        }
        return *this;
    }
    ~Subscription() { cancel(); }

    /// Ends the observation now.
    void cancel() {
        if (auto f = std::exchange(onCancel_, {})) {
            f();
        }
    }

    /// True while the token still holds an observation.
    bool isActive() const { return static_cast<bool>(onCancel_); }

private:
    std::function<void()> onCancel_;
};

} // namespace skrib
