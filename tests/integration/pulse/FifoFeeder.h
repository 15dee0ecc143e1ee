#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace skrib::testing {

/// Writes signed 16-bit samples into a pipe source's FIFO the way a microphone delivers them:
/// 10 ms at a time, paced in real time (written at once, the server would get one burst).
class FifoFeeder {
public:
    /// Starts writing at once on its own thread.
    FifoFeeder(std::string path, std::vector<std::int16_t> samples, unsigned rate,
               unsigned channels);
    /// Stops writing and waits for the thread.
    ~FifoFeeder();
    FifoFeeder(const FifoFeeder&) = delete;
    FifoFeeder& operator=(const FifoFeeder&) = delete;

    /// Whether every sample was written.
    bool finished() const { return finished_; }
    /// Whether writing stopped on an error (the FIFO's reader went away).
    bool failed() const { return failed_; }
    /// When the first chunk went in.
    std::chrono::steady_clock::time_point startTime() const { return startTime_; }

private:
    void run();

    std::string path_;
    std::vector<std::int16_t> samples_;
    unsigned rate_;
    unsigned channels_;
    std::chrono::steady_clock::time_point startTime_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

} // namespace skrib::testing
