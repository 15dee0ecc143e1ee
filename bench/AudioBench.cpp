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
