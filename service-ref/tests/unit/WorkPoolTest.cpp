#include "WorkPool.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <latch>
#include <set>

namespace skrib::service {
namespace {

// Tells which worker ran a job; recognition itself is not exercised here.
class NamedRecognizer : public SpeechRecognizer {
public:
    explicit NamedRecognizer(int id)
        : id(id) {}
    std::optional<std::string> recognize(std::span<const std::int16_t>) override {
        return std::to_string(id);
    }
    int id;
};

std::vector<std::unique_ptr<SpeechRecognizer>> recognizers(int count) {
    std::vector<std::unique_ptr<SpeechRecognizer>> list;
    for (int i = 0; i < count; ++i) {
        list.push_back(std::make_unique<NamedRecognizer>(i));
    }
    return list;
}

// A job that blocks its worker until released.
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<int> entered{0};

    WorkPool::Job job() {
        return [this](SpeechRecognizer&) {
            ++entered;
            opened.wait();
        };
    }
};

struct CapacityCase {
    int workers;
    std::size_t queue;
};

class WorkPoolCapacityTest : public testing::TestWithParam<CapacityCase> {};

TEST_P(WorkPoolCapacityTest, RefusesBeyondWorkersPlusQueue) {
    const auto [workers, queue] = GetParam();
    WorkPool pool(recognizers(workers), queue);
    Gate gate;
    const std::size_t capacity = static_cast<std::size_t>(workers) + queue;
    for (std::size_t i = 0; i < capacity; ++i) {
        EXPECT_TRUE(pool.trySubmit(gate.job())) << "job " << i << " of " << capacity;
    }
    EXPECT_FALSE(pool.trySubmit(gate.job()));
    while (gate.entered < workers) {
        std::this_thread::yield();
    }
    EXPECT_EQ(pool.running(), static_cast<std::size_t>(workers));
    EXPECT_EQ(pool.queued(), queue);
    EXPECT_FALSE(pool.trySubmit(gate.job())) << "still full once the workers have started";

    gate.open.set_value();
    pool.shutdown();
    EXPECT_EQ(gate.entered, static_cast<int>(capacity)) << "every accepted job ran";
}

INSTANTIATE_TEST_SUITE_P(Sizes, WorkPoolCapacityTest,
                         testing::Values(CapacityCase{1, 0}, CapacityCase{1, 3}, CapacityCase{3, 0},
                                         CapacityCase{2, 2}));

TEST(WorkPool, RunsJobsOnEveryWorkersOwnRecognizer) {
    WorkPool pool(recognizers(3), 0);
    std::latch allInside(3);
    std::mutex mutex;
    std::set<std::string> seen;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(pool.trySubmit([&](SpeechRecognizer& r) {
            {
                std::lock_guard lock(mutex);
                seen.insert(*r.recognize({}));
            }
            allInside.arrive_and_wait(); // three jobs at once need three workers
        }));
    }
    pool.shutdown();
    EXPECT_EQ(seen, (std::set<std::string>{"0", "1", "2"}));
}

TEST(WorkPool, AThrowingJobDoesNotStopItsWorker) {
    WorkPool pool(recognizers(1), 1);
    ASSERT_TRUE(pool.trySubmit([](SpeechRecognizer&) { throw std::runtime_error("boom"); }));
    std::promise<bool> ran;
    auto done = ran.get_future();
    ASSERT_TRUE(pool.trySubmit([&](SpeechRecognizer&) { ran.set_value(true); }));
    EXPECT_TRUE(done.get());
}

TEST(WorkPool, ShutdownRunsQueuedJobsThenRefuses) {
    WorkPool pool(recognizers(1), 5);
    std::atomic<int> count{0};
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(pool.trySubmit([&](SpeechRecognizer&) { ++count; }));
    }
    pool.shutdown();
    EXPECT_EQ(count, 6);
    EXPECT_FALSE(pool.trySubmit([&](SpeechRecognizer&) { ++count; }));
    pool.shutdown(); // a second shutdown is harmless
}

TEST(WorkPool, WithoutWorkersRefusesEverything) {
    WorkPool pool({}, 10);
    EXPECT_FALSE(pool.trySubmit([](SpeechRecognizer&) {}));
}

} // namespace
} // namespace skrib::service
