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
    // Owners waiting for their pieces share the signal, so every waiter looks.
    wake_.notify_all();
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

bool WorkPool::runPieces(SpeechRecognizer& own, std::size_t count, const Piece& piece) {
    Batch batch{&piece, count};
    std::unique_lock lock(mutex_);
    batches_.push_back(&batch);
    wake_.notify_all();
    // The owner takes only its own pieces, so that its answer never waits for another job's.
    while (batch.started < batch.count) {
        runPiece(lock, batch, own);
    }
    wake_.wait(lock, [&batch] { return batch.finished == batch.count; });
    std::erase(batches_, &batch);
    return !batch.failed;
}

WorkPool::Batch* WorkPool::batchToHelp() const {
    // The batch nearest to its end, so that short jobs finish first.
    Batch* best = nullptr;
    for (Batch* batch : batches_) {
        const std::size_t left = batch->count - batch->started;
        if (left > 0 && (best == nullptr || left < best->count - best->started)) {
            best = batch;
        }
    }
    return best;
}

void WorkPool::runPiece(std::unique_lock<std::mutex>& lock, Batch& batch,
                        SpeechRecognizer& recognizer) {
    const std::size_t index = batch.started++;
    lock.unlock();
    bool failed = false;
    try {
        (*batch.piece)(recognizer, index);
    } catch (...) {
        failed = true;
    }
    lock.lock();
    batch.failed = batch.failed || failed;
    if (++batch.finished == batch.count) {
        wake_.notify_all();
    }
}

void WorkPool::work(SpeechRecognizer& recognizer) {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock,
                   [this] { return stopping_ || !jobs_.empty() || batchToHelp() != nullptr; });
        if (jobs_.empty()) {
            if (Batch* batch = batchToHelp()) {
                runPiece(lock, *batch, recognizer);
                continue;
            }
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
