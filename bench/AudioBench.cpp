// Cost of turning microphone input into 16 kHz mono blocks, per second of input.

#include "audio/DictationSession.h"
#include "audio/ffmpeg/SwrAudioConverter.h"

#include <benchmark/benchmark.h>
#include <cmath>

namespace {

const skrib::AudioFormat target{16000, 1, skrib::SampleType::float32, false};

// One second of 48 kHz stereo input in ten 100 ms buffers, as the capture delivers it.
void BM_Convert48kStereoPerSecond(benchmark::State& state) {
    const skrib::AudioFormat input{48000, 2, skrib::SampleType::float32, true};
    skrib::SwrAudioConverterFactory factory;
    auto converter = factory.create(input, target);
    std::vector<float> block(4800 * 2);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = 0.3f * std::sin(static_cast<float>(i) * 0.01f);
    }
    skrib::AudioTapBuffer buffer{input, 4800, {block.data()}};
    for (auto _ : state) {
        for (int i = 0; i < 10; ++i) {
            auto out = converter->convert(buffer, 1700);
            benchmark::DoNotOptimize(out);
        }
    }
    // Time per iteration = CPU per second of audio; 1 ms would be 0.1 % of one core.
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Convert48kStereoPerSecond)->Unit(benchmark::kMicrosecond);

// The capture thread's whole share of a block: conversion plus the append to the session.
void BM_CaptureThreadWorkPerSecond(benchmark::State& state) {
    const skrib::AudioFormat input{48000, 2, skrib::SampleType::float32, true};
    skrib::SwrAudioConverterFactory factory;
    auto converter = factory.create(input, target);
    std::vector<float> block(4800 * 2, 0.1f);
    skrib::AudioTapBuffer buffer{input, 4800, {block.data()}};
    for (auto _ : state) {
        state.PauseTiming();
        skrib::DictationSession session;
        state.ResumeTiming();
        for (int i = 0; i < 10; ++i) {
            auto out = converter->convert(buffer, 1700);
            session.appendSamples(*out);
        }
        benchmark::DoNotOptimize(session.sampleCount());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CaptureThreadWorkPerSecond)->Unit(benchmark::kMicrosecond);

} // namespace

#include "audio/ffmpeg/AudioCompressor.h"
#include "service/RefineClient.h"

#include <future>

namespace {

std::vector<std::vector<float>> speechLikeBlocks(int seconds) {
    std::vector<std::vector<float>> blocks(static_cast<std::size_t>(seconds) * 10,
                                           std::vector<float>(1600));
    for (int b = 0; b < seconds * 10; ++b) {
        auto& block = blocks[static_cast<std::size_t>(b)];
        for (std::size_t i = 0; i < block.size(); ++i) {
            const float t = static_cast<float>(b * 1600 + static_cast<int>(i));
            // A voiced tone with a syllable-rate envelope and some noise, like speech to an
            // encoder.
            block[i] =
                0.3f * std::sin(t * 0.045f) * (0.5f + 0.5f * std::sin(t * 0.0015f)) +
                0.02f * static_cast<float>((b * 7919 + static_cast<int>(i) * 104729) % 200 - 100) /
                    100.0f;
        }
    }
    return blocks;
}

// Seconds of recording handed to the session (and its encoder) block by block, then the M4A
// finished: all the compression a dictation costs. The time is real time, waiting for the
// encoder's thread, so 100 / x_realtime is the share of one core compressing takes.
void BM_CompressWhileRecording(benchmark::State& state) {
    const auto blocks = speechLikeBlocks(static_cast<int>(state.range(0)));
    skrib::AudioCompressor compressor;
    std::size_t m4aBytes = 0;
    for (auto _ : state) {
        skrib::DictationSession session(compressor.start(16000));
        for (const auto& block : blocks) {
            session.appendSamples(block);
        }
        std::promise<std::size_t> size;
        session.finishEncoding([&](std::optional<std::string> m4a, std::string) {
            size.set_value(m4a ? m4a->size() : 0);
        });
        m4aBytes = size.get_future().get();
    }
    state.counters["m4a_KB"] = static_cast<double>(m4aBytes) / 1024;
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.range(0)) *
                                                          static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CompressWhileRecording)
    ->Arg(10)
    ->Arg(60)
    ->Arg(600)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Building the multipart body around a payload of the given size in KB.
void BM_ProcessBody(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)) * 1024, 0x42);
    const std::optional<std::string> vocab = "Kubernetes, PostgreSQL, Qorin, Vantu";
    for (auto _ : state) {
        auto body = skrib::RefineClient::processBody("E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
                                                     payload, true, vocab, "dictation");
        benchmark::DoNotOptimize(body.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * 1024);
}
BENCHMARK(BM_ProcessBody)->Arg(40)->Arg(320)->Arg(1920)->Unit(benchmark::kMicrosecond);

} // namespace
