// Speed of the service over loopback HTTP against an in-process server with real recognition:
// the real-time factor of /process (processing time per second of audio) for 5 s and 30 s
// utterances, and the request rate of /update/check.
#include "AudioDecoder.h"
#include "TestSupport.h"

#include <benchmark/benchmark.h>
#include <csignal>
#include <map>

using namespace skrib::service;
using namespace skrib::service::test;

namespace {

// One recogniser, so that each upload is measured alone.
InProcessService& service() {
    static WorkPool pool = loadPool(1, 4);
    ServiceConfig config;
    config.httpThreads = 16;
    static InProcessService instance(pool, config,
                                     ReleaseManifest{"1.4.0", "https://downloads.test/a.dmg", "", {}});
    return instance;
}

// `seconds` of speech (a few sentences said over and over) as a 16 kHz mono WAV file.
std::string speechWav(int seconds) {
    std::string sentences;
    for (int i = 0; i < 8; ++i) {
        sentences += "the meeting has been moved to thursday afternoon. "
                     "i will call you back in ten minutes. "
                     "we need to buy more coffee for the office. ";
    }
    return convertWithFfmpeg(speakWav(sentences), {"-t", std::to_string(seconds), "-ar", "16000",
                                                   "-ac", "1", "-f", "wav"});
}

const Upload& upload(int seconds, bool m4a) {
    static std::map<std::pair<int, bool>, Upload> cache;
    auto it = cache.find({seconds, m4a});
    if (it == cache.end()) {
        const std::string wav = speechWav(seconds);
        it = cache
                 .emplace(std::pair{seconds, m4a},
                          buildUpload(m4a ? wavToM4a(wav) : wav, m4a, "Qorin, Vantu Skrib"))
                 .first;
    }
    return it->second;
}

void BM_ProcessRealTimeFactor(benchmark::State& state) {
    const auto seconds = static_cast<int>(state.range(0));
    const bool m4a = state.range(1) != 0;
    const Upload& body = upload(seconds, m4a);
    auto client = service().client();
    client->set_keep_alive(true);
    for (auto _ : state) {
        const auto result = client->Post("/process", {{"x-device-id", "BENCH"}}, body.body,
                                         body.contentType().c_str());
        if (!result || result->status != 200) {
            state.SkipWithError("the upload failed");
            break;
        }
    }
    // Processing seconds per second of audio.
    state.counters["RTF"] = benchmark::Counter(
        seconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetLabel(std::to_string(seconds) + " s " + (m4a ? "M4A" : "WAV"));
}
BENCHMARK(BM_ProcessRealTimeFactor)
    ->ArgNames({"seconds", "m4a"})
    ->Args({5, 0})
    ->Args({5, 1})
    ->Args({30, 0})
    ->Args({30, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

// Decoding alone, to tell it apart from recognition in the figures above.
void BM_Decode(benchmark::State& state) {
    const auto seconds = static_cast<int>(state.range(0));
    const bool m4a = state.range(1) != 0;
    const std::string wav = speechWav(seconds);
    const std::string file = m4a ? wavToM4a(wav) : wav;
    for (auto _ : state) {
        auto samples = decodeToRecognitionPcm(file, 600 * 16000);
        benchmark::DoNotOptimize(samples);
    }
    state.counters["x_real_time"] =
        benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(std::to_string(seconds) + " s " + (m4a ? "M4A" : "WAV"));
}
BENCHMARK(BM_Decode)
    ->ArgNames({"seconds", "m4a"})
    ->Args({30, 0})
    ->Args({30, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_UpdateCheck(benchmark::State& state) {
    const bool keepAlive = state.range(0) != 0;
    auto client = service().client();
    client->set_keep_alive(keepAlive);
    for (auto _ : state) {
        const auto result = client->Get("/update/check?v=1.3.0");
        if (!result || result->status != 200) {
            state.SkipWithError("the check failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(keepAlive ? "one connection" : "a connection per request");
}
BENCHMARK(BM_UpdateCheck)
    ->ArgName("keep_alive")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Threads(1)
    ->Threads(4);

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    service(); // load the model before anything is timed
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
