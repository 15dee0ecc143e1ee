// WAV encoding and sample appends of a dictation session.

#include "audio/DictationSession.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cmath>
#include <thread>

namespace {

std::vector<float> speechLike(std::size_t n) {
    std::vector<float> samples(n);
    for (std::size_t i = 0; i < n; ++i) {
        samples[i] = 0.6f * std::sin(static_cast<float>(i) * 0.05f) *
                     std::sin(static_cast<float>(i) * 0.0007f);
    }
    return samples;
}

// Encodes a session of state.range(0) seconds; bytes processed = WAV bytes produced.
void BM_EncodeWAV(benchmark::State& state) {
    const auto seconds = static_cast<std::size_t>(state.range(0));
    skrib::DictationSession session;
    const auto block = speechLike(1600);
    for (std::size_t i = 0; i < seconds * 10; ++i) {
        session.appendSamples(block);
    }
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto wav = session.getWAVData();
        bytes = wav.size();
        benchmark::DoNotOptimize(wav.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["wav_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_EncodeWAV)->Arg(10)->Arg(60)->Arg(3600)->Unit(benchmark::kMillisecond);

// Appends 100 ms blocks (1600 samples) on a second thread, the way the capture does, while
// the main thread reads the duration as the controller would. Items = blocks appended.
void BM_AppendFromCaptureThread(benchmark::State& state) {
    const auto block = speechLike(1600);
    constexpr int blocksPerRun = 36000; // one hour
    for (auto _ : state) {
        skrib::DictationSession session;
        std::atomic<bool> done{false};
        std::thread capture([&] {
            for (int i = 0; i < blocksPerRun; ++i) {
                session.appendSamples(block);
            }
            done = true;
        });
        double last = 0;
        while (!done) {
            last = session.durationSeconds();
            benchmark::DoNotOptimize(last);
        }
        capture.join();
    }
    state.SetItemsProcessed(state.iterations() * blocksPerRun);
    state.SetBytesProcessed(state.iterations() * blocksPerRun * 1600 * 4);
}
BENCHMARK(BM_AppendFromCaptureThread)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
