#include "WorkPool.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>

namespace skrib::service {
namespace {

// Answers with its own number, to tell which worker ran a job.
struct NumberedRecognizer : SpeechRecognizer {
    explicit NumberedRecognizer(int number)
        : number(number) {}
    std::optional<std::string> recognize(std::span<const std::int16_t>) override {
        return std::to_string(number);
    }
    int number;
};

class WorkPoolTest : public testing::TestWithParam<std::pair<int, std::size_t>> {};

// Jobs that block until released fill the workers, each on its own recognizer, then the queue;
// one more is refused; every accepted job runs.
TEST_P(WorkPoolTest, RunsOneJobPerWorkerAtOnceAndRefusesBeyondTheQueue) {
    const auto [workers, queue] = GetParam();
    std::vector<std::unique_ptr<SpeechRecognizer>> recognizers;
    for (int i = 0; i < workers; ++i) {
        recognizers.push_back(std::make_unique<NumberedRecognizer>(i));
    }
    WorkPool pool(std::move(recognizers), queue);
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<int> entered{0};
    std::mutex mutex;
    std::set<std::string> inUse;
    const auto job = [&](SpeechRecognizer& r) {
        std::unique_lock lock(mutex);
        inUse.insert(*r.recognize({}));
        lock.unlock();
        ++entered;
        opened.wait();
    };
    const std::size_t capacity = static_cast<std::size_t>(workers) + queue;
    for (std::size_t i = 0; i < capacity; ++i) {
        EXPECT_TRUE(pool.trySubmit(job)) << "job " << i << " of " << capacity;
    }
    EXPECT_FALSE(pool.trySubmit(job));
    while (entered < workers) {
        std::this_thread::yield();
    }
    EXPECT_EQ(pool.running(), static_cast<std::size_t>(workers));
    EXPECT_EQ(pool.queued(), queue);
    EXPECT_EQ(inUse.size(), static_cast<std::size_t>(workers));
    EXPECT_FALSE(pool.trySubmit(job)) << "still full once the workers have started";
    open.set_value();
    pool.shutdown();
    EXPECT_EQ(entered, static_cast<int>(capacity)) << "every accepted job ran";
    EXPECT_FALSE(pool.trySubmit(job)) << "nothing is accepted after shutdown";
}

INSTANTIATE_TEST_SUITE_P(Sizes, WorkPoolTest,
                         testing::Values(std::pair{1, 0u}, std::pair{1, 3u}, std::pair{3, 0u},
                                         std::pair{2, 2u}));

} // namespace
} // namespace skrib::service
