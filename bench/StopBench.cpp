// What a stop costs the user, with the real controller, session, compressor and body building:
// the time from the key release to the request handed to the network, the longest single stretch
// the main thread is held, the peak memory growth of a whole dictation, and the CPU the
// recording itself takes (as a share of one core).
//
// Recording runs at full speed on a capture thread; before the key release the bench waits
// until no thread of the process works any more, as a real-time recording would have it.

#include "FakeAudio.h"
#include "FakeInput.h"
#include "FakeScheduler.h"
#include "FakeSystem.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "audio/ffmpeg/AudioCompressor.h"
#include "dictation/DictationController.h"
#include "log/DebugLog.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <sys/resource.h>
#include <thread>

namespace skrib::testing {
namespace {

using SteadyClock = std::chrono::steady_clock;

double millisecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double processCPUSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// VmRSS or VmHWM of this process in MB.
double memoryMB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":")) {
            return std::stod(line.substr(field.size() + 1)) / 1024.0;
        }
    }
    return 0;
}

// Waits until the process has used under 0.5 ms of CPU in 10 ms.
void waitUntilIdle() {
    for (double before = processCPUSeconds();;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const double now = processCPUSeconds();
        if (now - before < 0.0005) {
            return;
        }
        before = now;
    }
}

// Holds each request; notes when the upload arrived.
class StampingHttp final : public HttpClient, public HttpSession {
public:
    std::shared_ptr<HttpSession> sharedSession() override { return self(); }
    std::shared_ptr<HttpSession> makeSession(HttpSessionConfiguration) override { return self(); }
    std::int64_t dataTask(HttpRequest request, Completion) override {
        std::lock_guard lock(mutex_);
        if (request.url.ends_with("/process")) {
            uploadAt_ = SteadyClock::now();
        }
        requests_.push_back(std::move(request));
        return static_cast<std::int64_t>(requests_.size());
    }
    std::int64_t downloadTask(HttpRequest, DownloadCompletion) override { return 0; }

    std::optional<SteadyClock::time_point> uploadAt() {
        std::lock_guard lock(mutex_);
        return uploadAt_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        uploadAt_.reset();
        requests_.clear();
    }

private:
    std::shared_ptr<HttpSession> self() {
        return std::shared_ptr<HttpSession>(static_cast<HttpSession*>(this), [](HttpSession*) {});
    }
    std::mutex mutex_;
    std::optional<SteadyClock::time_point> uploadAt_;
    std::vector<HttpRequest> requests_;
};


// A voiced tone with a syllable-rate envelope and some noise, like speech to an encoder.
std::vector<float> speechLikeBlock(int index) {
    std::vector<float> block(1600);
    for (std::size_t i = 0; i < block.size(); ++i) {
        const float t = static_cast<float>(index * 1600 + static_cast<int>(i));
        block[i] =
            0.3f * std::sin(t * 0.045f) * (0.5f + 0.5f * std::sin(t * 0.0015f)) +
            0.02f * static_cast<float>((index * 7919 + static_cast<int>(i) * 104729) % 200 - 100) /
                100.0f;
    }
    return block;
}

struct Program {
    Program() {
        setLogPaths({}, {}); // the lines go to standard output only
        audio.format = {16000, 1, SampleType::float32, true};
        audio.deviceList = {{1, "USB Microphone", true, false}};
        audio.defaultDevice = 1;
        RefineClient::Environment environment{
            http, secrets, defaults, "http://127.0.0.1:8787", home.string(), "pc", "6.1.0"};
        client = std::make_unique<RefineClient>(std::move(environment));
        capture = std::make_unique<AudioCaptureManager>(audio, converters, queue, appState, center);
        controller = std::make_unique<DictationController>(DictationController::Components{
            appState, queue, defaults, center, *capture, compressor, hotkey, inserter, silent,
            desktop, silent, silent, [this] { return client.get(); }, nullptr});
        controller->setupAudio();
        queue.runUntilIdle();
    }
    ~Program() {
        controller.reset();
        capture.reset();
        std::filesystem::remove_all(home);
    }

    std::string pattern = "/tmp/skrib-bench-XXXXXX";
    std::filesystem::path home = ::mkdtemp(pattern.data());
    FakeScheduler queue;
    AppState appState;
    NotificationCenter center;
    MemoryDefaults defaults;
    MemorySecretStore secrets;
    StampingHttp http;
    FakeAudioSystem audio;
    FakeAudioConverterFactory converters;
    AudioCompressor compressor;
    FakeKeyboardHook keyboard;
    GlobalHotkey hotkey{keyboard, queue, defaults};
    FakeDesktop desktop{queue};
    TextInserter inserter{desktop, queue, defaults};
    SilentSurface silent;
    std::unique_ptr<RefineClient> client;
    std::unique_ptr<AudioCaptureManager> capture;
    std::unique_ptr<DictationController> controller;
};

// Argument: seconds recorded. Iteration time: key release -> upload handed to the network.
void BM_StopToRequest(benchmark::State& state) {
    const int blocks = static_cast<int>(state.range(0)) * 10;
    const std::vector<std::vector<float>> pattern = [] {
        std::vector<std::vector<float>> p;
        for (int i = 0; i < 50; ++i) {
            p.push_back(speechLikeBlock(i));
        }
        return p;
    }();
    Program program;
    double longestStall = 0, peakGrowth = 0, recordCPU = 0;
    for (auto _ : state) {
        program.http.clear();
        ::malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5"; // resets the peak
        const double baseline = memoryMB("VmRSS");
        program.controller->startDictation();
        program.queue.runUntilIdle();

        // Recording: the capture thread delivers ten seconds at a time, then waits until the work
        // it caused is done (as in real time, where the encoder keeps up); the main thread shows
        // the levels meanwhile.
        const double cpuBefore = processCPUSeconds();
        std::atomic<bool> recorded{false};
        std::thread captureThread([&] {
            for (int b = 0; b < blocks; ++b) {
                program.capture->onAudioBuffer(AudioBuffer16k(
                    pattern[static_cast<std::size_t>(b) % pattern.size()], 16000, {}));
                if (b % 100 == 99) {
                    waitUntilIdle();
                }
            }
            recorded = true;
        });
        while (!recorded) {
            program.queue.runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        captureThread.join();
        program.queue.runUntilIdle();
        waitUntilIdle();
        recordCPU = std::max(recordCPU, (processCPUSeconds() - cpuBefore) /
                                            static_cast<double>(state.range(0)));

        // The key release, and what the main thread does until the upload has gone.
        const auto keyRelease = SteadyClock::now();
        program.controller->stopDictation();
        double stall = millisecondsSince(keyRelease);
        while (!program.http.uploadAt()) {
            const auto start = SteadyClock::now();
            program.queue.runUntilIdle();
            stall = std::max(stall, millisecondsSince(start));
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        const auto uploadAt = *program.http.uploadAt();
        for (const auto until = SteadyClock::now() + std::chrono::milliseconds(20);
             SteadyClock::now() < until;) {
            const auto start = SteadyClock::now();
            program.queue.runUntilIdle();
            stall = std::max(stall, millisecondsSince(start));
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        state.SetIterationTime(std::chrono::duration<double>(uploadAt - keyRelease).count());
        longestStall = std::max(longestStall, stall);
        peakGrowth = std::max(peakGrowth, memoryMB("VmHWM") - baseline);
        program.controller->cancelDictation(); // back to idle; the answer never comes
    }
    state.counters["main_stall_ms"] = longestStall;
    state.counters["peak_growth_MB"] = peakGrowth;
    state.counters["wav_MB"] = (44.0 + static_cast<double>(blocks) * 3200) / 1e6;
    state.counters["record_cpu_pct"] = recordCPU * 100;
}
BENCHMARK(BM_StopToRequest)
    ->Arg(10)
    ->Arg(60)
    ->Arg(600)
    ->Arg(3600)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace skrib::testing
