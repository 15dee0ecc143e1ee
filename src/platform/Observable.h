#pragma once

#include "platform/Subscription.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace skrib {

/// A value that others can watch. A subscriber receives the current value at once when it
/// subscribes, then every assigned value, equal ones included, synchronously on the assigning
/// thread. The subscription lasts as long as its token. Safe to read, assign and subscribe from
/// any thread; subscribers may subscribe, assign or drop tokens from inside their callback.
template <class T>
class Observable {
public:
    using Callback = std::function<void(const T&)>;

    explicit Observable(T initial = T{})
        : shared_(std::make_shared<Shared>(std::move(initial))) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    T get() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->value;
    }

    void set(T value) {
        std::vector<std::shared_ptr<Subscriber>> subscribers;
        {
            std::lock_guard lock(shared_->mutex);
            shared_->value = value;
            subscribers = shared_->subscribers;
        }
        for (const auto& s : subscribers) {
            if (s->active.load(std::memory_order_acquire)) {
                s->callback(value);
            }
        }
    }

    [[nodiscard]] Subscription subscribe(Callback callback) {
        auto subscriber = std::make_shared<Subscriber>(std::move(callback));
        T current;
        {
            std::lock_guard lock(shared_->mutex);
            shared_->subscribers.push_back(subscriber);
            current = shared_->value;
        }
        std::weak_ptr<Shared> weakShared = shared_;
        Subscription token([weakShared, weakSubscriber = std::weak_ptr<Subscriber>(subscriber)] {
            auto s = weakSubscriber.lock();
            if (!s) {
                return;
            }
            s->active.store(false, std::memory_order_release);
            if (auto shared = weakShared.lock()) {
                std::lock_guard lock(shared->mutex);
                std::erase(shared->subscribers, s);
            }
        });
        subscriber->callback(current);
        return token;
    }

    /// Number of live subscriptions (for diagnostics and tests).
    std::size_t subscriberCount() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->subscribers.size();
    }

private:
    struct Subscriber {
        explicit Subscriber(Callback c)
            : callback(std::move(c)) {}
        Callback callback;
        std::atomic<bool> active{true};
    };
    struct Shared {
        explicit Shared(T v)
            : value(std::move(v)) {}
        mutable std::mutex mutex;
        T value;
        std::vector<std::shared_ptr<Subscriber>> subscribers;
    };

    std::shared_ptr<Shared> shared_;
};

} // namespace skrib
