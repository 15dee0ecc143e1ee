#pragma once

#include "platform/Subscription.h"

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace skrib {

class Scheduler;

/// One posted notification: its name and an optional object of any type.
struct Notification {
    std::string name;
    std::any object;
};

/// Named in-process notifications. Observers register for one name and receive every
/// notification posted under it, either synchronously on the posting thread or, when they give
/// a scheduler, later on the main thread through it. An observation ends with its token; a
/// scheduled delivery that has not yet run when the token is dropped does not happen.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    /// The program's one notification centre.
    static NotificationCenter& shared();

    /// Observes `name`. With `queue` null the handler runs synchronously inside `post`;
    /// otherwise each delivery is posted to `queue`, which must outlive the token.
    [[nodiscard]] Subscription addObserver(std::string name, Scheduler* queue, Handler handler);

    /// Delivers a notification to every current observer of `name`. Callable from any thread.
    void post(const std::string& name, std::any object = {});

private:
    struct Observer;

    std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<std::shared_ptr<Observer>>> observers_ =
        std::make_shared<std::vector<std::shared_ptr<Observer>>>();
};

} // namespace skrib
