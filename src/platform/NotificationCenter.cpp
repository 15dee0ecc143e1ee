#include "platform/NotificationCenter.h"

#include "platform/Scheduler.h"

#include <atomic>

namespace skrib {

struct NotificationCenter::Observer {
    std::string name;
    Scheduler* queue = nullptr;
    Handler handler;
    std::atomic<bool> active{true};
};

NotificationCenter& NotificationCenter::shared() {
    static auto* center = new NotificationCenter; // lives until the process ends
    return *center;
}

Subscription NotificationCenter::addObserver(std::string name, Scheduler* queue, Handler handler) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->queue = queue;
    observer->handler = std::move(handler);
    {
        std::lock_guard lock(*mutex_);
        observers_->push_back(observer);
    }
    std::weak_ptr<std::mutex> weakMutex = mutex_;
    std::weak_ptr<std::vector<std::shared_ptr<Observer>>> weakList = observers_;
    return Subscription([weakMutex, weakList, weakObserver = std::weak_ptr<Observer>(observer)] {
        auto o = weakObserver.lock();
        if (!o) {
            return;
        }
        o->active.store(false, std::memory_order_release);
        auto mutex = weakMutex.lock();
        auto list = weakList.lock();
        if (mutex && list) {
            std::lock_guard lock(*mutex);
            std::erase(*list, o);
        }
    });
}

void NotificationCenter::post(const std::string& name, std::any object) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(*mutex_);
        for (const auto& o : *observers_) {
            if (o->name == name) {
                matching.push_back(o);
            }
        }
    }
    if (matching.empty()) {
        return;
    }
    auto notification = std::make_shared<const Notification>(Notification{name, std::move(object)});
    for (const auto& o : matching) {
        if (!o->active.load(std::memory_order_acquire)) {
            continue;
        }
        if (o->queue == nullptr) {
            o->handler(*notification);
        } else {
            o->queue->post([weak = std::weak_ptr<Observer>(o), notification] {
                auto observer = weak.lock();
                if (observer && observer->active.load(std::memory_order_acquire)) {
                    observer->handler(*notification);
                }
            });
        }
    }
}

} // namespace skrib
