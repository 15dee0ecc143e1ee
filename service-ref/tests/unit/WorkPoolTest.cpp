#include "WorkPool.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>

namespace skrib::service {
namespace {

// Tells which worker ran a job; recognition itself is not exercised here.
class NamedRecognizer : public SpeechRecognizer {
public:
    explicit NamedRecognizer(int id)
        : id_(id) {}
    std::optional<std::string> recognize(std::span<const std::int16_t>) override {
        return std::to_string(id_);
    }

private:
    int id_;
};

struct PoolCase {
    int workers;
    std::size_t queue;
};

class WorkPoolTest : public testing::TestWithParam<PoolCase> {};

// Jobs that block until released fill the workers, each on its own recognizer, then the queue;
// one more is refused; every accepted job runs.
TEST_P(WorkPoolTest, RunsOneJobPerWorkerAtOnceAndRefusesBeyondTheQueue) {
    const auto [workers, queue] = GetParam();
    std::vector<std::unique_ptr<SpeechRecognizer>> recognizers;
    for (int i = 0; i < workers; ++i) {
        recognizers.push_back(std::make_unique<NamedRecognizer>(i));
    }
    WorkPool pool(std::move(recognizers), queue);
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<int> entered{0};
    std::mutex mutex;
    std::set<std::string> recognizersInUse;
    const auto job = [&](SpeechRecognizer& r) {
        {
            std::lock_guard lock(mutex);
            recognizersInUse.insert(*r.recognize({}));
        }
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
    EXPECT_EQ(recognizersInUse.size(), static_cast<std::size_t>(workers));
    EXPECT_FALSE(pool.trySubmit(job)) << "still full once the workers have started";

    open.set_value();
    pool.shutdown();
    EXPECT_EQ(entered, static_cast<int>(capacity)) << "every accepted job ran";
    EXPECT_FALSE(pool.trySubmit(job)) << "nothing is accepted after shutdown";
}

INSTANTIATE_TEST_SUITE_P(Sizes, WorkPoolTest,
                         testing::Values(PoolCase{1, 0}, PoolCase{1, 3}, PoolCase{3, 0},
                                         PoolCase{2, 2}));

} // namespace
} // namespace skrib::service
