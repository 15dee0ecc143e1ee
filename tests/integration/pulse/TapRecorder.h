#pragma once

#include "platform/AudioSystem.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <set>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace skrib::testing {

/// Keeps what a capture tap delivers, for checks on the test thread: the samples, and every
/// way a buffer differed from what the tap was asked for.
class TapRecorder {
public:
    TapRecorder(AudioFormat format, std::uint32_t frames)
        : format_(format)
        , frames_(frames) {}

    AudioEngine::TapCallback callback() {
        return [this](const AudioTapBuffer& buffer) { record(buffer); };
    }

    /// From now on every delivery counts as one too many.
    void closed() {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }

    std::size_t buffers() const {
        std::lock_guard lock(mutex_);
        return buffers_;
    }
    std::size_t frames() const {
        std::lock_guard lock(mutex_);
        return samples_.size() / format_.channelCount;
    }
    std::vector<float> samples() const {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    std::size_t misshapen() const {
        std::lock_guard lock(mutex_);
        return misshapen_;
    }
    std::size_t afterClose() const {
        std::lock_guard lock(mutex_);
        return afterClose_;
    }
    std::set<std::thread::id> threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }
    std::optional<std::chrono::steady_clock::time_point> firstBufferTime() const {
        std::lock_guard lock(mutex_);
        return firstBufferTime_;
    }
    /// The kernel's ID of the thread that delivered the first buffer.
    pid_t captureThread() const {
        std::lock_guard lock(mutex_);
        return captureThread_;
    }

private:
    void record(const AudioTapBuffer& buffer) {
        std::lock_guard lock(mutex_);
        if (buffers_++ == 0) {
            firstBufferTime_ = std::chrono::steady_clock::now();
            captureThread_ = ::gettid();
        }
        threads_.insert(std::this_thread::get_id());
        if (closed_) {
            ++afterClose_;
        }
        const AudioFormat& f = buffer.format;
        if (buffer.frameLength != frames_ || f.sampleRate != format_.sampleRate ||
            f.channelCount != format_.channelCount || f.sampleType != SampleType::float32 ||
            !f.interleaved || buffer.channelData.size() != 1 || buffer.channelData[0] == nullptr) {
            ++misshapen_;
            return;
        }
        const auto* data = static_cast<const float*>(buffer.channelData[0]);
        samples_.insert(samples_.end(), data, data + buffer.frameLength * f.channelCount);
    }

    const AudioFormat format_;
    const std::uint32_t frames_;
    mutable std::mutex mutex_;
    bool closed_ = false;
    std::size_t buffers_ = 0;
    std::size_t misshapen_ = 0;
    std::size_t afterClose_ = 0;
    std::vector<float> samples_;
    std::set<std::thread::id> threads_;
    std::optional<std::chrono::steady_clock::time_point> firstBufferTime_;
    pid_t captureThread_ = 0;
};

} // namespace skrib::testing
