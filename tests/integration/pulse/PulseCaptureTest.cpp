// The capture manager on the real PulseAudio adapter, the real converter and Qt's main queue:
// speech in at the microphone, 16 kHz mono blocks out.

#include "FifoFeeder.h"
#include "LogCapture.h"
#include "PulseFixture.h"
#include "Speech.h"
#include "app/AppState.h"
#include "audio/AudioCaptureManager.h"
#include "audio/ffmpeg/SwrAudioConverter.h"
#include "audio/pulse/PulseAudioSystem.h"
#include "platform/NotificationCenter.h"
#include "platform/qt/QtScheduler.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>

#include <QCoreApplication>

namespace skrib::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class PulseCaptureTest : public PulseFixture {
protected:
    void SetUp() override {
        PulseFixture::SetUp();
        queue.start();
    }

    void TearDown() override {
        manager.reset(); // stops its engine: no capture-thread call after this
        system.reset();
        queue.stop();
        PulseFixture::TearDown();
    }

    AudioCaptureManager& make() {
        system = std::make_unique<PulseAudioSystem>();
        manager =
            std::make_unique<AudioCaptureManager>(*system, converters, queue, appState, center);
        manager->onAudioBuffer = [this](const AudioBuffer16k& block) {
            std::lock_guard lock(mutex);
            samples.insert(samples.end(), block.samples().begin(), block.samples().end());
            blockSizes.push_back(block.samples().size());
            blockRates.insert(block.sampleRate());
            blockThreads.insert(std::this_thread::get_id());
        };
        manager->onCaptureStarted = [this](bool ok) { started.push_back(ok); };
        manager->onCapturePermanentlyFailed = [this] { ++permanentFailures; };
        return *manager;
    }

    /// Runs Qt's event loop (the main queue) until `done` or `limit`.
    bool runLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!done() && Clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(5ms);
        }
        return done();
    }

    std::size_t sampleCount() {
        std::lock_guard lock(mutex);
        return samples.size();
    }

    LogCapture log; // also keeps the manager's lines out of the shared scratch log
    QtScheduler queue;
    SwrAudioConverterFactory converters;
    AppState appState;
    NotificationCenter center;
    std::unique_ptr<PulseAudioSystem> system;
    std::unique_ptr<AudioCaptureManager> manager;

    std::mutex mutex;
    std::vector<float> samples;
    std::vector<std::size_t> blockSizes;
    std::set<double> blockRates;
    std::set<std::thread::id> blockThreads;
    std::vector<bool> started;
    int permanentFailures = 0;
};

TEST_F(PulseCaptureTest, SpeechAtTheMicrophoneArrivesAs16kMonoBlocks) {
    auto speech = Speech::make(daemon().folder(), "Please call me back after lunch.", 48000, 2);
    ASSERT_TRUE(speech.has_value());
    speech->appendSilence(0.3);

    make();
    EXPECT_EQ(appState.currentMicName.get(), "USB Microphone");
    ASSERT_TRUE(manager->startCapture());
    EXPECT_TRUE(manager->isCapturing());

    // 4800 frames at 48 kHz per tap buffer, 1600 samples at 16 kHz per block.
    const std::size_t expected = speech->frames() / 4800 * 1600;
    {
        FifoFeeder feeder(daemon().micFifo(), speech->samples, 48000, 2);
        EXPECT_TRUE(runLoopUntil(
            [&] { return feeder.finished() && sampleCount() >= expected - 1600; },
            std::chrono::milliseconds(static_cast<int>(speech->seconds() * 1000)) + 3s))
            << sampleCount() << " of " << expected;
    }
    manager->stopCapture();
    EXPECT_FALSE(manager->isCapturing());
    ASSERT_EQ(started, std::vector<bool>{true});
    EXPECT_EQ(permanentFailures, 0);

    std::lock_guard lock(mutex);
    EXPECT_EQ(blockRates, std::set<double>{16000.0});
    ASSERT_EQ(blockThreads.size(), 1u);
    EXPECT_NE(*blockThreads.begin(), std::this_thread::get_id());
    EXPECT_EQ(manager->bufferCount(), static_cast<std::int64_t>(blockSizes.size()));
    // The resampler may hold a few samples back; nothing is made up.
    EXPECT_GE(samples.size(), expected - 1600);
    EXPECT_LE(samples.size(), expected + 100);

    // Left and right mixed with equal weights (right was fed at half level: 0.75 of left).
    double fedSum = 0;
    for (std::size_t frame = 0; frame < speech->frames(); ++frame) {
        const double mono =
            (speech->samples[2 * frame] + speech->samples[2 * frame + 1]) / 2.0 / 32768.0;
        fedSum += mono * mono;
    }
    const double fedRms = std::sqrt(fedSum / static_cast<double>(speech->frames()));
    const double gotRms = rms(samples, 1, 0, speech->frames() / 3);
    EXPECT_NEAR(gotRms, fedRms, 0.1 * fedRms);
}

TEST_F(PulseCaptureTest, ANative16kMonoMicrophonePassesSamplesThroughUntouched) {
    const std::string fifo = daemon().folder() + "/headset.fifo";
    ASSERT_TRUE(
        daemon()
            .loadModule("module-pipe-source",
                        {"source_name=headset", "file=" + fifo, "format=s16le", "rate=16000",
                         "channels=1", "source_properties=device.description=Headset"})
            .has_value());
    ASSERT_EQ(daemon().pactl({"set-default-source", "headset"}).status, 0);
    auto speech = Speech::make(daemon().folder(), "Hello there.", 16000, 1);
    ASSERT_TRUE(speech.has_value());

    make();
    EXPECT_EQ(appState.currentMicName.get(), "Headset");
    ASSERT_TRUE(manager->startCapture());
    const std::size_t expected = speech->frames() / 1600 * 1600;
    {
        FifoFeeder feeder(fifo, speech->samples, 16000, 1);
        EXPECT_TRUE(runLoopUntil(
            [&] { return sampleCount() >= expected; },
            std::chrono::milliseconds(static_cast<int>(speech->seconds() * 1000)) + 3s));
    }
    manager->stopCapture();

    std::lock_guard lock(mutex);
    ASSERT_EQ(samples.size(), expected);
    std::size_t different = 0;
    for (std::size_t i = 0; i < expected; ++i) {
        different += samples[i] != static_cast<float>(speech->samples[i]) / 32768.0f ? 1 : 0;
    }
    EXPECT_EQ(different, 0u);
}

TEST_F(PulseCaptureTest, ANewDefaultMicrophoneTakesOverWhileCapturing) {
    make();
    ASSERT_TRUE(manager->startCapture()); // "mic": nothing is fed, nothing arrives
    runLoopUntil([] { return false; }, 200ms);
    EXPECT_EQ(sampleCount(), 0u);

    ASSERT_EQ(daemon().pactl({"set-default-source", "builtin"}).status, 0);
    // The built-in microphone is a running (silent) one: blocks come once capture moved.
    EXPECT_TRUE(runLoopUntil([&] { return sampleCount() >= 3200; }, 4s));
    EXPECT_EQ(appState.currentMicName.get(), "Built-in Microphone");
    EXPECT_FALSE(log.matching("default input device changed").empty());
    EXPECT_EQ(started, (std::vector<bool>{true, true}));
    manager->stopCapture();
}

TEST_F(PulseCaptureTest, CaptureContinuesOnTheNextMicrophoneAfterAnUnplug) {
    const auto module = daemon().loadModule("module-null-source", {"source_name=headset"});
    ASSERT_TRUE(module.has_value());
    ASSERT_EQ(daemon().pactl({"set-default-source", "headset"}).status, 0);

    make();
    ASSERT_TRUE(manager->startCapture());
    ASSERT_TRUE(runLoopUntil([&] { return sampleCount() >= 1600; }, 3s));
    // Past the start-up window in which the manager ignores configuration changes.
    runLoopUntil([] { return false; }, 1600ms);

    ASSERT_TRUE(daemon().unloadModule(*module));
    const std::size_t atUnplug = sampleCount();
    // The server picks the built-in microphone as its new default; capture follows.
    EXPECT_TRUE(runLoopUntil(
        [&] {
            return sampleCount() >= atUnplug + 3200 &&
                   appState.currentMicName.get() == "Built-in Microphone";
        },
        5s));
    EXPECT_TRUE(manager->isCapturing());
    EXPECT_EQ(permanentFailures, 0);
    manager->stopCapture();
}

} // namespace
} // namespace skrib::testing
