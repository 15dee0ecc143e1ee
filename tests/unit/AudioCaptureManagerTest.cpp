#include "audio/AudioCaptureManager.h"

#include "audio/DictationSession.h"

#include "FakeAudio.h"
#include "FakeScheduler.h"
#include "LogCapture.h"

#include <atomic>
#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

namespace skrib::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr AudioDeviceID usbMic = 1, builtInMic = 3;

class Capture : public ::testing::Test {
protected:
    Capture() {
        system.deviceList = {{usbMic, "USB Microphone", true, false},
                             {2, "Built-in Output", false, true},
                             {builtInMic, "Built-in Microphone", true, true}};
        system.defaultDevice = usbMic;
    }
    AudioCaptureManager& make() {
        manager = std::make_unique<AudioCaptureManager>(system, converters, queue, appState, center);
        manager->onAudioBuffer = [this](const AudioBuffer16k& b) { blocks.push_back(b); };
        manager->onCaptureStarted = [this](bool ok) { started.push_back(ok); };
        manager->onCapturePermanentlyFailed = [this] { ++permanentFailures; };
        return *manager;
    }
    /// Advances virtual time in steps of 1/64 s (every delay here is a multiple of it), noting
    /// when each log line appeared.
    void runFor(double seconds, const char* until = "") {
        for (long i = std::lround(seconds * 64); i >= 0; --i) {
            const auto all = log.messages();
            for (std::size_t k = timeline.size(); k < all.size(); ++k) {
                timeline.emplace_back(queue.absoluteTime(), all[k]);
            }
            if (i == 0 || (*until && !timesOf(until).empty())) {
                return;
            }
            queue.advance(1.0 / 64);
        }
    }
    std::vector<double> timesOf(const std::string& text, std::size_t most = SIZE_MAX) const {
        std::vector<double> out;
        for (const auto& [t, m] : timeline) {
            if (m.find(text) != std::string::npos && out.size() < most) {
                out.push_back(t);
            }
        }
        return out;
    }

    LogCapture log;
    FakeAudioSystem system;
    FakeAudioConverterFactory converters;
    FakeScheduler queue;
    AppState appState;
    NotificationCenter center;
    std::vector<bool> started;
    int permanentFailures = 0;
    std::vector<AudioBuffer16k> blocks;
    std::vector<std::pair<double, std::string>> timeline;
    std::unique_ptr<AudioCaptureManager> manager; // last: goes first
};

// Pass-through and conversion of real microphones run against PulseAudio; here, the formats
// that are close to the target but must still be converted.
class CaptureFormat : public Capture, public ::testing::WithParamInterface<AudioFormat> {};

TEST_P(CaptureFormat, ConvertsWhatIsNotMonoFloatInTenthsOfASecond) {
    system.format = GetParam();
    EXPECT_TRUE(make().startCapture());
    EXPECT_EQ(converters.created, 1);
    ASSERT_TRUE(system.currentEngine()->deliver(system.currentEngine()->tapFrames(), 1.0f));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].samples(), std::vector<float>(1600, 1.0f));
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptureFormat, ::testing::Values(AudioFormat{16000, 2}, AudioFormat{16000, 1, SampleType::int16}));

TEST_F(Capture, StartsOnceDespiteABindingFailureAndAStopRemovesTheTap) {
    system.bindStatus = -10851;
    auto& m = make();
    m.startCapture();
    EXPECT_TRUE(log.contains("⚠️ setInputDevice: AudioUnitSetProperty failed (-10851)"));
    EXPECT_TRUE(m.startCapture()) << "a second start only reports success again";
    EXPECT_THAT(started, ElementsAre(true, true));
    EXPECT_EQ(system.enginesCreated, 1);
    system.currentEngine()->deliver(4800, 0.1f);
    queue.advance(2.5);
    EXPECT_TRUE(log.contains("✅ Audio health check passed — buffers flowing"));
    m.stopCapture();
    EXPECT_FALSE(system.currentEngine()->deliver(4800, 0.1f)) << "the tap is gone after a stop";
}

struct FailureCase {
    std::function<void(FakeAudioSystem&, FakeAudioConverterFactory&)> arrange;
    const char* line;
};

class CaptureStartFailure : public Capture, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CaptureStartFailure, LogsReportsFalseAndSchedulesNothing) {
    GetParam().arrange(system, converters);
    EXPECT_FALSE(make().startCapture());
    EXPECT_THAT(started, ElementsAre(false));
    EXPECT_TRUE(log.contains(GetParam().line)) << GetParam().line;
    EXPECT_FALSE(system.currentEngine()->running());
    EXPECT_EQ(queue.pendingCount(), 0u) << "no health check for a capture that never started";
}

const char* invalid = "❌ Invalid format after engine start";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, CaptureStartFailure, ::testing::Values(
    FailureCase{[](auto& s, auto&) { s.startError = "refused"; }, "❌ Audio engine failed: refused"},
    FailureCase{[](auto& s, auto&) { s.format.sampleRate = 0; }, invalid},
    FailureCase{[](auto& s, auto&) { s.format.channelCount = 0; }, invalid},
    FailureCase{[](auto&, auto& c) { c.failCreation = true; }, "❌ Failed to create audio converter"}
));
// clang-format on

TEST_F(Capture, TapFailuresAreRetriedWithFreshEnginesThenGivenUp) {
    system.tapFailuresToCome = 2;
    auto& m = make();
    EXPECT_FALSE(m.startCapture());
    EXPECT_THAT(started, IsEmpty()) << "a start that schedules a retry reports nothing";
    runFor(2.0);
    EXPECT_THAT(started, ElementsAre(true));
    EXPECT_EQ(system.enginesCreated, 3);
    EXPECT_THAT(timesOf("🔄 Will retry with fresh engine"), ElementsAre(0.0, 0.5));
    EXPECT_THAT(timesOf("🟢 Audio capture started"), ElementsAre(1.5));

    m.stopCapture();
    system.tapFailuresToCome = 4;
    log.clear();
    m.startCapture();
    queue.advance(5.0);
    EXPECT_TRUE(log.contains("❌ installTap failed 3 times — giving up"));
    EXPECT_THAT(started, ElementsAre(true, false));
    EXPECT_EQ(queue.pendingCount(), 0u);
    m.startCapture();
    EXPECT_TRUE(log.contains("🔄 Will retry with fresh engine (failure 1/3)"))
        << "the count starts again after giving up";
}

TEST_F(Capture, AConfigurationChangeRestartsOnlyAfterTheFirstSecondAndAHalf) {
    auto& m = make();
    m.startCapture();
    queue.advance(1.25);
    system.currentEngine()->changeConfiguration();
    EXPECT_THAT(log.matching("Audio config changed"), IsEmpty()) << "handled on the main queue";
    queue.runUntilIdle();
    queue.advance(0.25);
    system.currentEngine()->changeConfiguration();
    m.stopCapture(); // a change queued before a stop is dropped
    m.startCapture();
    queue.advance(1.5);
    system.currentEngine()->changeConfiguration();
    queue.runUntilIdle();
    EXPECT_THAT(log.matching("Audio config changed"),
                ElementsAre("⚠️ Audio config changed — ignoring (startup, 1250ms)",
                            "⚠️ Audio config changed — restarting capture"));
    EXPECT_FALSE(m.isCapturing());
    EXPECT_TRUE(log.contains("🔄 Restart #1 — retrying in 0.5s"));
}

// A device that never delivers: health checks 2.5 s after each start, 1.5 s later per restart;
// restarts after 0.5 s growing by half up to 4 s; after the eighth, the built-in microphone.
class CaptureNeverDelivers : public Capture, public ::testing::WithParamInterface<bool> {};

TEST_P(CaptureNeverDelivers, RestartsWithBackoffThenFallsBackOnceOrGivesUp) {
    const bool builtInIsDefault = GetParam();
    system.defaultDevice = builtInIsDefault ? builtInMic : usbMic;
    std::vector<std::optional<std::string>> names;
    auto token = appState.currentMicName.subscribe(
        [&](const std::optional<std::string>& n) { names.push_back(n); });
    make().startCapture();
    runFor(400.0);

    std::vector<double> starts{0.0}, checks;
    for (int k = 0; k < 9; ++k) {
        checks.push_back(starts.back() + 2.5 + 1.5 * k);
        if (k < 8) {
            starts.push_back(checks.back() + std::min(0.5 * std::pow(1.5, k), 4.0));
        }
    }
    EXPECT_EQ(timesOf("⚠️ No audio buffers", 9), checks);
    EXPECT_EQ(timesOf("🟢 Audio capture started", 9), starts);
    EXPECT_TRUE(log.contains("❌ Max total restarts reached (8) — stopping"))
        << "a silent fall-back ends in a permanent failure, not a second fall-back";
    EXPECT_EQ(permanentFailures, 1);
    if (builtInIsDefault) {
        EXPECT_THAT(timesOf("🟢 Audio capture started"), ::testing::SizeIs(9)) << "stays stopped";
        return;
    }
    EXPECT_THAT(timesOf("🔄 Default device failed — falling back to built-in mic (ID: 3)"),
                ElementsAre(checks.back()));
    EXPECT_THAT(timesOf("🎤 Using fallback device: Built-in Microphone (ID: 3)"),
                ::testing::Contains(checks.back() + 0.5));
    EXPECT_EQ(system.currentEngine()->boundDevice(), builtInMic);
    EXPECT_THAT(names, ::testing::Contains("Built-in Microphone (fallback)"));
    EXPECT_EQ(appState.currentMicName.get(), "USB Microphone")
        << "the name shows the default device again once the fall-back starts";
}

INSTANTIATE_TEST_SUITE_P(BuiltInIsDefault, CaptureNeverDelivers, ::testing::Bool());

TEST_F(Capture, ANewDefaultDeviceEndsTheFallbackAndStartsTheBackoffAgain) {
    system.deviceList.push_back({4, "Headset", true, false});
    make().startCapture();
    runFor(200, "🎤 Using fallback device");
    log.clear();
    system.changeDefaultDevice(4);
    queue.advance(0.5);
    EXPECT_TRUE(log.contains("🔄 Restart #1 — retrying in 0.5s"));
    EXPECT_TRUE(manager->isCapturing());
    EXPECT_EQ(system.currentEngine()->boundDevice(), 4u);
    EXPECT_EQ(appState.currentMicName.get(), "Headset");
}

TEST_F(Capture, AStopCallsOffAPendingRestartAndAPendingFallback) {
    auto& m = make();
    m.startCapture();
    runFor(2.75); // the first health check failed at 2.5, restart due at 3.0
    ASSERT_TRUE(log.contains("🔄 Restart #1 — retrying in 0.5s"));
    m.stopCapture();
    runFor(30.0);
    EXPECT_EQ(timesOf("🟢 Audio capture started").size(), 1u);
    EXPECT_EQ(queue.pendingCount(), 0u);

    m.startCapture();
    runFor(300, "🔄 Default device failed");
    m.stopCapture();
    queue.advance(5.0);
    EXPECT_THAT(log.matching("🎤 Using fallback device"), IsEmpty());
    EXPECT_FALSE(m.isCapturing());
}

TEST_F(Capture, DestroyingTheManagerRemovesItsListenerAndStopsTheEngine) {
    make().startCapture();
    manager.reset();
    EXPECT_EQ(system.listenerCount(), 0u);
    EXPECT_THAT(system.engines, IsEmpty());
    queue.advance(20.0); // the scheduled health check finds no manager
}


std::vector<std::uint16_t> words(const std::string& wav) {
    std::vector<std::uint16_t> out(wav.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(wav[at]); };
        out[i] = static_cast<std::uint16_t>(byte(2 * i) | (byte(2 * i + 1) << 8));
    }
    return out;
}

TEST(DictationSession, EncodesA16kMono16BitWavClampingAndTruncatingTowardsZero) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    DictationSession session;
    session.appendSamples(
        std::vector{0.0f, 1.0f, -1.0f, 2.0f, -7.5f, 0.5f, -0.5f, 0.99999f, nan, -nan});
    session.appendSamples(std::vector{inf, -inf, std::numeric_limits<float>::denorm_min(),
                                      0.99f / 32767.0f, -1.99f / 32767.0f, 100.6f / 32767.0f});
    EXPECT_DOUBLE_EQ(session.durationSeconds(), 16 / 16000.0);
    EXPECT_THAT(words(session.getWAVData()),
                ::testing::ElementsAre(
                    'R' | 'I' << 8, 'F' | 'F' << 8, 36 + 32, 0, 'W' | 'A' << 8, 'V' | 'E' << 8,
                    'f' | 'm' << 8, 't' | ' ' << 8, 16, 0, 1, 1, 16000, 0, 32000, 0, 2, 16,
                    'd' | 'a' << 8, 't' | 'a' << 8, 32, 0, // samples from here
                    0, 32767, 0x10000 - 32767, 32767, 0x10000 - 32767, 16383, 0x10000 - 16383,
                    32766, 0, 0, 32767, 0x10000 - 32767, 0, 0, 0xFFFF, 100));
}

// Blocks span several of the session's storage chunks, and the reader must always see a whole
// prefix of what was appended, in order, with a header that matches it.
TEST(DictationSession, AReaderOnTheMainThreadAlwaysSeesAWholePrefix) {
    DictationSession session;
    constexpr int blocks = 400, blockSize = 1601;
    std::atomic<bool> done{false};
    std::thread capture([&] {
        std::vector<float> block(blockSize);
        for (int b = 0; b < blocks; ++b) {
            for (int i = 0; i < blockSize; ++i) {
                block[static_cast<std::size_t>(i)] = ((b * blockSize + i) % 30000) / 32767.0f;
            }
            session.appendSamples(block);
        }
        done = true;
    });
    for (int reads = 0; !done || reads == 0; ++reads) {
        const auto w = words(session.getWAVData());
        ASSERT_EQ(static_cast<std::size_t>(w[20] | w[21] << 16), (w.size() - 22) * 2);
        for (std::size_t i = 22; i < w.size(); ++i) {
            ASSERT_EQ(static_cast<std::size_t>(w[i]), (i - 22) % 30000) << "at " << i;
        }
    }
    capture.join();
    EXPECT_EQ(session.sampleCount(), blocks * blockSize);
}

} // namespace
} // namespace skrib::testing
