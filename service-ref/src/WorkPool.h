#pragma once

#include "SpeechRecognizer.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace skrib::service {

/// A fixed set of worker threads, each owning one recogniser, fed by a bounded queue. A job that
/// finds every worker busy and the queue full is refused at once rather than queued without end.
class WorkPool {
public:
    using Job = std::function<void(SpeechRecognizer&)>;

    /// One worker per recogniser; at most `queueCapacity` jobs wait beyond the running ones.
    WorkPool(std::vector<std::unique_ptr<SpeechRecognizer>> recognizers, std::size_t queueCapacity);

    /// Runs the jobs still queued, then stops the workers.
    ~WorkPool();

    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    /// Queues `job`; false (and the job is dropped) when the pool is full or shut down.
    bool trySubmit(Job job);

    /// Refuses new jobs, runs the queued ones and joins the workers. Idempotent.
    void shutdown();

    std::size_t workers() const { return threads_.size(); }
    std::size_t queueCapacity() const { return queueCapacity_; }
    std::size_t running() const;
    std::size_t queued() const;

private:
    void work(SpeechRecognizer& recognizer);

    std::vector<std::unique_ptr<SpeechRecognizer>> recognizers_;
    std::size_t queueCapacity_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace skrib::service
