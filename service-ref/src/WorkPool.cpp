#include "WorkPool.h"

namespace skrib::service {

WorkPool::WorkPool(std::vector<std::unique_ptr<SpeechRecognizer>> recognizers,
                   std::size_t queueCapacity)
    : recognizers_(std::move(recognizers))
    , queueCapacity_(queueCapacity) {
    threads_.reserve(recognizers_.size());
    for (auto& recognizer : recognizers_) {
        threads_.emplace_back([this, r = recognizer.get()] { work(*r); });
    }
}

WorkPool::~WorkPool() {
    shutdown();
}

bool WorkPool::trySubmit(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || threads_.empty()) {
            return false;
        }
        const std::size_t idle = threads_.size() - running_;
        if (jobs_.size() >= idle + queueCapacity_) {
            return false;
        }
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void WorkPool::shutdown() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

std::size_t WorkPool::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

std::size_t WorkPool::queued() const {
    std::lock_guard lock(mutex_);
    return jobs_.size();
}

void WorkPool::work(SpeechRecognizer& recognizer) {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return; // stopping, nothing left
        }
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        ++running_;
        lock.unlock();
        try {
            job(recognizer);
        } catch (...) {
            // A job reports its own outcome; a throwing job must not take the worker down.
        }
        lock.lock();
        --running_;
    }
}

} // namespace skrib::service
