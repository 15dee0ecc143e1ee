#include "FifoFeeder.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace skrib::testing {

FifoFeeder::FifoFeeder(std::string path, std::vector<std::int16_t> samples, unsigned rate,
                       unsigned channels)
    : path_(std::move(path))
    , samples_(std::move(samples))
    , rate_(rate)
    , channels_(channels)
    , startTime_(std::chrono::steady_clock::now()) {
    thread_ = std::thread([this] { run(); });
}

FifoFeeder::~FifoFeeder() {
    stop_ = true;
    thread_.join();
}

void FifoFeeder::run() {
    // The pipe source holds the FIFO open for reading, so this does not block.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        failed_ = true;
        return;
    }
    const std::size_t chunk = static_cast<std::size_t>(rate_ / 100) * channels_;
    std::size_t chunkIndex = 0;
    for (std::size_t offset = 0; offset < samples_.size() && !stop_; offset += chunk) {
        std::this_thread::sleep_until(startTime_ + std::chrono::milliseconds(10 * chunkIndex++));
        const std::size_t count = std::min(chunk, samples_.size() - offset);
        const auto* bytes = reinterpret_cast<const char*>(samples_.data() + offset);
        std::size_t left = count * sizeof(std::int16_t);
        while (left > 0) {
            const ssize_t written = ::write(fd, bytes, left);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                failed_ = true;
                ::close(fd);
                return;
            }
            bytes += written;
            left -= static_cast<std::size_t>(written);
        }
    }
    ::close(fd);
    finished_ = !stop_;
}

} // namespace skrib::testing
