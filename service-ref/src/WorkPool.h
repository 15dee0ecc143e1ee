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
/// A job may split its work into pieces that workers without a job of their own help with.
class WorkPool {
public:
    using Job = std::function<void(SpeechRecognizer&)>;
    /// One piece of a job's work: the worker's recogniser and the piece's number.
    using Piece = std::function<void(SpeechRecognizer&, std::size_t)>;

    /// One worker per recogniser; at most `queueCapacity` jobs wait beyond the running ones.
    WorkPool(std::vector<std::unique_ptr<SpeechRecognizer>> recognizers, std::size_t queueCapacity);

    /// Runs the jobs still queued, then stops the workers.
    ~WorkPool();

    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    /// Queues `job`; false (and the job is dropped) when the pool is full or shut down.
    bool trySubmit(Job job);

    /// From within a job, given the recogniser the job received: runs `piece` for the numbers 0
    /// to `count` - 1, in that order of starting, on this worker and on every worker that has no
    /// job to start; returns once all have finished, false when one of them threw.
    bool runPieces(SpeechRecognizer& own, std::size_t count, const Piece& piece);

    /// Refuses new jobs, runs the queued ones and joins the workers. Idempotent.
    void shutdown();

    std::size_t workers() const { return threads_.size(); }
    std::size_t queueCapacity() const { return queueCapacity_; }
    std::size_t running() const;
    std::size_t queued() const;

private:
    struct Batch {
        const Piece* piece;
        std::size_t count;
        std::size_t started = 0;
        std::size_t finished = 0;
        bool failed = false;
    };

    void work(SpeechRecognizer& recognizer);
    Batch* batchToHelp() const;
    void runPiece(std::unique_lock<std::mutex>& lock, Batch& batch, SpeechRecognizer& recognizer);

    std::vector<std::unique_ptr<SpeechRecognizer>> recognizers_;
    std::size_t queueCapacity_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::vector<Batch*> batches_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace skrib::service
