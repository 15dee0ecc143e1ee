#include "audio/AudioCaptureManager.h"

#include "FakeAudio.h"
#include "FakeScheduler.h"
#include "LogCapture.h"

#include <cctype>
#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace skrib::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string testName(std::string text) {
    for (char& c : text) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return text;
}

constexpr AudioDeviceID usbMic = 1;
constexpr AudioDeviceID builtInSpeakers = 2;
constexpr AudioDeviceID builtInMic = 3;

class Capture : public ::testing::Test {
protected:
    Capture() {
        system.deviceList = {{usbMic, "USB Microphone", true, false},
                             {builtInSpeakers, "Built-in Output", false, true},
                             {builtInMic, "Built-in Microphone", true, true}};
        system.defaultDevice = usbMic;
    }

    AudioCaptureManager& make() {
        micNotifications = center.addObserver(notifications::micNameChanged, nullptr,
                                              [this](const Notification&) { ++micNameChanges; });
        manager =
            std::make_unique<AudioCaptureManager>(system, converters, queue, appState, center);
        manager->onAudioBuffer = [this](const AudioBuffer16k& b) { blocks.push_back(b); };
        manager->onCaptureStarted = [this](bool ok) { started.push_back(ok); };
        manager->onCapturePermanentlyFailed = [this] { ++permanentFailures; };
        return *manager;
    }

    /// Advances virtual time in steps of 1/64 s (every delay here is a multiple of it) and
    /// notes when each log line appeared.
    void runFor(double seconds) {
        const int steps = static_cast<int>(std::lround(seconds * 64));
        noteNewLines(); // lines logged before, at the current time
        for (int i = 0; i < steps; ++i) {
            queue.advance(1.0 / 64);
            noteNewLines();
        }
    }
    void noteNewLines() {
        const auto all = log.messages();
        for (std::size_t k = seen; k < all.size(); ++k) {
            timeline.emplace_back(queue.absoluteTime(), all[k]);
        }
        seen = all.size();
    }
    std::vector<double> timesOf(const std::string& text) const {
        std::vector<double> out;
        for (const auto& [t, m] : timeline) {
            if (m.find(text) != std::string::npos) {
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
    Subscription micNotifications;
    int micNameChanges = 0;
    std::vector<bool> started;
    int permanentFailures = 0;
    std::vector<AudioBuffer16k> blocks;
    std::vector<std::pair<double, std::string>> timeline;
    std::size_t seen = 0;
    std::unique_ptr<AudioCaptureManager> manager; // last: goes first
};

// MARK: - Formats

struct FormatCase {
    AudioFormat format;
    bool passthrough;
    std::uint32_t tapFrames;
    const char* startedLine;
};

class CaptureFormat : public Capture, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(CaptureFormat, PassesThroughOnlyNative16kMonoFloatAndConvertsEverythingElse) {
    const auto c = GetParam();
    system.format = c.format;
    auto& m = make();
    EXPECT_TRUE(m.startCapture());
    EXPECT_THAT(started, ElementsAre(true));
    EXPECT_TRUE(log.contains(c.startedLine)) << c.startedLine;
    EXPECT_EQ(log.contains("🎤 Native 16kHz mono — passthrough mode"), c.passthrough);
    EXPECT_EQ(converters.created, c.passthrough ? 0 : 1);
    ASSERT_NE(system.currentEngine(), nullptr);
    EXPECT_EQ(system.currentEngine()->tapFrames(), c.tapFrames);

    ASSERT_TRUE(system.currentEngine()->deliver(c.tapFrames, 0.25f));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].sampleRate(), 16000.0);
    EXPECT_NEAR(static_cast<double>(blocks[0].samples().size()), 1600.0, 1.0);
    EXPECT_NEAR(blocks[0].samples().front(), 0.25f, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CaptureFormat,
    ::testing::Values(
        FormatCase{{16000, 1, SampleType::float32, true},
                   true,
                   1600,
                   "🟢 Audio capture started — 16000.0Hz → 16kHz (passthrough)"},
        FormatCase{{16000, 2, SampleType::float32, true},
                   false,
                   1600,
                   "🟢 Audio capture started — 16000.0Hz → 16kHz"},
        FormatCase{{16000, 1, SampleType::int16, true},
                   false,
                   1600,
                   "🟢 Audio capture started — 16000.0Hz → 16kHz"},
        FormatCase{{48000, 2, SampleType::float32, true},
                   false,
                   4800,
                   "🟢 Audio capture started — 48000.0Hz → 16kHz"},
        FormatCase{{44100, 1, SampleType::float32, true},
                   false,
                   4410,
                   "🟢 Audio capture started — 44100.0Hz → 16kHz"}));

TEST_F(Capture, LogsTheInputFormatAndTheFirstBufferLatency) {
    auto& m = make();
    m.startCapture();
    EXPECT_TRUE(log.contains("🎤 Actual input format: 48000.0Hz 2ch"));
    EXPECT_TRUE(log.contains("🎤 Bound audio unit to device 1"));
    queue.advance(0.25);
    system.currentEngine()->deliver(4800, 0.1f);
    system.currentEngine()->deliver(4800, 0.1f);
    EXPECT_EQ(log.matching("🎙 First buffer after").size(), 1u);
    EXPECT_TRUE(log.contains("🎙 First buffer after 250ms"));
    EXPECT_EQ(m.bufferCount(), 2);
    queue.advance(2.25);
    EXPECT_TRUE(log.contains("✅ Audio health check passed — buffers flowing"));
    m.stopCapture();
    EXPECT_TRUE(log.contains("⏹ Audio capture stopped — 2 buffers"));
    EXPECT_FALSE(system.currentEngine()->running());
    EXPECT_FALSE(system.currentEngine()->deliver(4800, 0.1f)) << "the tap is gone after a stop";
}

TEST_F(Capture, StartWhileCapturingOnlyReportsSuccessAgain) {
    auto& m = make();
    m.startCapture();
    const auto linesBefore = log.messages().size();
    EXPECT_TRUE(m.startCapture());
    EXPECT_THAT(started, ElementsAre(true, true));
    EXPECT_EQ(log.messages().size(), linesBefore);
    EXPECT_EQ(system.enginesCreated, 1);
}

struct FailureCase {
    const char* name;
    std::function<void(FakeAudioSystem&, FakeAudioConverterFactory&)> arrange;
    const char* line;
};

class CaptureStartFailure : public Capture, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CaptureStartFailure, LogsReportsFalseAndSchedulesNothing) {
    GetParam().arrange(system, converters);
    auto& m = make();
    EXPECT_FALSE(m.startCapture());
    EXPECT_THAT(started, ElementsAre(false));
    EXPECT_TRUE(log.contains(GetParam().line)) << GetParam().name;
    EXPECT_FALSE(m.isCapturing());
    EXPECT_FALSE(system.currentEngine()->running());
    EXPECT_EQ(queue.pendingCount(), 0u) << "no health check for a capture that never started";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CaptureStartFailure,
    ::testing::Values(FailureCase{"engine",
                                  [](auto& s, auto&) { s.startError = "Connection refused"; },
                                  "❌ Audio engine failed: Connection refused"},
                      FailureCase{"no rate",
                                  [](auto& s, auto&) {
                                      s.format = {0, 2, SampleType::float32, true};
                                  },
                                  "❌ Invalid format after engine start"},
                      FailureCase{"no channels",
                                  [](auto& s, auto&) {
                                      s.format = {48000, 0, SampleType::float32, true};
                                  },
                                  "❌ Invalid format after engine start"},
                      FailureCase{"converter", [](auto&, auto& c) { c.failCreation = true; },
                                  "❌ Failed to create audio converter"}),
    [](const auto& info) { return testName(info.param.name); });

// MARK: - Tap installation failures

TEST_F(Capture, TapFailingTwiceIsRetriedWithFreshEnginesThenSucceeds) {
    system.tapFailuresToCome = 2;
    auto& m = make();
    EXPECT_FALSE(m.startCapture());
    EXPECT_THAT(started, IsEmpty()) << "a start that schedules a retry reports nothing";
    runFor(2.0);
    EXPECT_THAT(started, ElementsAre(true));
    EXPECT_TRUE(m.isCapturing());
    EXPECT_EQ(system.enginesCreated, 3);
    EXPECT_THAT(timesOf("🔄 Will retry with fresh engine"), ElementsAre(0.0, 0.5));
    EXPECT_THAT(log.matching("🔄 Will retry with fresh engine"),
                ElementsAre("🔄 Will retry with fresh engine (failure 1/3)",
                            "🔄 Will retry with fresh engine (failure 2/3)"));
    EXPECT_THAT(timesOf("🟢 Audio capture started"), ElementsAre(1.5))
        << "retries after 0.5 s, then 1.0 s";
    EXPECT_EQ(log.matching("♻️ Replacing old engine with fresh instance").size(), 2u);
    EXPECT_THAT(log.matching("❌ installTap threw NSException: com.audio.Error: tap refused"),
                ::testing::SizeIs(2));
}

TEST_F(Capture, ThreeTapFailuresGiveUpAndResetTheCount) {
    system.tapFailuresToCome = 3;
    auto& m = make();
    m.startCapture();
    runFor(5.0);
    EXPECT_TRUE(log.contains("❌ installTap failed 3 times — giving up"));
    EXPECT_THAT(started, ElementsAre(false));
    EXPECT_FALSE(m.isCapturing());
    EXPECT_EQ(queue.pendingCount(), 0u);

    system.tapFailuresToCome = 1;
    log.clear();
    m.startCapture();
    EXPECT_TRUE(log.contains("🔄 Will retry with fresh engine (failure 1/3)"))
        << "the count starts again after giving up";
}

// MARK: - Configuration changes

struct ConfigCase {
    double at;
    const char* line;
    bool restarts;
};

class CaptureConfigChange : public Capture, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(CaptureConfigChange, IsIgnoredInTheFirstSecondAndAHalf) {
    auto& m = make();
    m.startCapture();
    queue.advance(0.1);
    system.currentEngine()->deliver(4800, 0.1f);
    queue.advance(GetParam().at - 0.1);
    ASSERT_TRUE(system.currentEngine()->changeConfiguration());
    EXPECT_THAT(log.matching("Audio config changed"), IsEmpty()) << "handled on the main queue";
    queue.runUntilIdle();
    EXPECT_THAT(log.matching("Audio config changed"), ElementsAre(GetParam().line));
    EXPECT_EQ(m.isCapturing(), !GetParam().restarts);
    EXPECT_EQ(log.contains("🔄 Restart #1 — retrying in 0.5s"), GetParam().restarts);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CaptureConfigChange,
    ::testing::Values(ConfigCase{1.4, "⚠️ Audio config changed — ignoring (startup, 1400ms)",
                                 false},
                      ConfigCase{1.5, "⚠️ Audio config changed — restarting capture", true}));

TEST_F(Capture, AChangeQueuedBeforeAStopIsDropped) {
    auto& m = make();
    m.startCapture();
    queue.advance(2.0);
    system.currentEngine()->changeConfiguration();
    m.stopCapture();
    m.startCapture();
    queue.runUntilIdle();
    EXPECT_THAT(log.matching("Audio config changed"), IsEmpty());
    EXPECT_TRUE(m.isCapturing());
}

// MARK: - A device that never delivers

const std::vector<std::string> expectedHealthDelays{"2.5",  "4.0",  "5.5",  "7.0", "8.5",
                                                    "10.0", "11.5", "13.0", "14.5"};
const std::vector<std::string> expectedBackoff{"0.5", "0.8", "1.1", "1.7",
                                               "2.5", "3.8", "4.0", "4.0"};
const std::vector<double> backoffSeconds{0.5, 0.75, 1.125, 1.6875, 2.53125, 3.796875, 4.0, 4.0};

class CaptureNeverDelivers : public Capture, public ::testing::WithParamInterface<bool> {};

TEST_P(CaptureNeverDelivers, RestartsWithBackoffThenFallsBackOrGivesUp) {
    const bool builtInIsDefault = GetParam();
    if (builtInIsDefault) {
        system.defaultDevice = builtInMic;
    }
    auto& m = make();
    m.startCapture();
    runFor(120.0);

    std::vector<std::string> expectedChecks, expectedRestarts;
    std::vector<double> expectedStarts{0.0}, expectedCheckTimes;
    for (int k = 0; k < 9; ++k) {
        expectedChecks.push_back("⚠️ No audio buffers after " + expectedHealthDelays[k] +
                                 "s — device may not be ready, restarting (attempt " +
                                 std::to_string(k + 1) + "/8)");
        expectedCheckTimes.push_back(expectedStarts.back() + 2.5 + 1.5 * k);
        if (k < 8) {
            expectedRestarts.push_back("🔄 Restart #" + std::to_string(k + 1) + " — retrying in " +
                                       expectedBackoff[k] + "s");
            expectedStarts.push_back(expectedCheckTimes.back() + backoffSeconds[k]);
        }
    }
    const auto checks = log.matching("⚠️ No audio buffers");
    ASSERT_GE(checks.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(checks.begin(), checks.begin() + 9), expectedChecks);
    auto checkTimes = timesOf("⚠️ No audio buffers");
    checkTimes.resize(9);
    EXPECT_EQ(checkTimes, expectedCheckTimes);
    auto restarts = log.matching("🔄 Restart #");
    restarts.resize(std::min<std::size_t>(restarts.size(), 8));
    EXPECT_EQ(restarts, expectedRestarts);
    auto starts = timesOf("🟢 Audio capture started");
    starts.resize(std::min<std::size_t>(starts.size(), 9));
    EXPECT_EQ(starts, expectedStarts);

    const double ninth = expectedCheckTimes.back();
    if (builtInIsDefault) {
        EXPECT_TRUE(log.contains("❌ Max total restarts reached (8) — stopping"));
        EXPECT_EQ(permanentFailures, 1);
        EXPECT_FALSE(m.isCapturing());
        EXPECT_THAT(timesOf("🟢 Audio capture started"), ::testing::SizeIs(9)) << "stays stopped";
        return;
    }
    EXPECT_EQ(permanentFailures, 0);
    EXPECT_THAT(timesOf("🔄 Default device failed — falling back to built-in mic (ID: 3)"),
                ElementsAre(ninth));
    EXPECT_THAT(timesOf("🎤 Using fallback device: Built-in Microphone (ID: 3)"),
                ::testing::Contains(ninth + 0.5));
    EXPECT_EQ(system.currentEngine()->boundDevice(), builtInMic)
        << "capture stays on the built-in microphone after the fall-back";
    EXPECT_EQ(appState.currentMicName.get(), "USB Microphone")
        << "the name shows the default device again once the fall-back starts";
}

INSTANTIATE_TEST_SUITE_P(BuiltInIsDefault, CaptureNeverDelivers, ::testing::Bool());

TEST_F(Capture, FallbackNameShowsUntilItsStartAndTheFallbackHappensOncePerRun) {
    auto& m = make();
    std::vector<std::optional<std::string>> names;
    auto token = appState.currentMicName.subscribe(
        [&](const std::optional<std::string>& n) { names.push_back(n); });
    m.startCapture();
    runFor(400.0);
    EXPECT_THAT(names,
                ::testing::Contains(std::optional<std::string>("Built-in Microphone (fallback)")));
    EXPECT_EQ(log.matching("🔄 Default device failed").size(), 1u);
    EXPECT_TRUE(log.contains("❌ Max total restarts reached (8) — stopping"))
        << "a silent fall-back device ends in a permanent failure, not a second fall-back";
    EXPECT_EQ(permanentFailures, 1);
}

TEST_F(Capture, StopDuringBackoffCancelsTheRestart) {
    auto& m = make();
    m.startCapture();
    runFor(2.5 + 0.25); // first health check failed at 2.5, restart due at 3.0
    ASSERT_TRUE(log.contains("🔄 Restart #1 — retrying in 0.5s"));
    m.stopCapture();
    EXPECT_THAT(log.matching("⏹ Audio capture stopped"), IsEmpty()) << "it was not capturing";
    runFor(30.0);
    EXPECT_EQ(log.matching("🟢 Audio capture started").size(), 1u) << "only the first start";
    EXPECT_FALSE(m.isCapturing());
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST_F(Capture, StopBeforeTheFallbackStartKeepsItFromStarting) {
    auto& m = make();
    m.startCapture();
    while (log.matching("🔄 Default device failed").empty() && queue.absoluteTime() < 200) {
        runFor(1.0 / 64);
    }
    ASSERT_EQ(log.matching("🔄 Default device failed").size(), 1u);
    m.stopCapture();
    const auto startsBefore = log.matching("🟢 Audio capture started").size();
    runFor(5.0);
    EXPECT_EQ(log.matching("🟢 Audio capture started").size(), startsBefore);
    EXPECT_THAT(log.matching("🎤 Using fallback device"), IsEmpty());
    EXPECT_THAT(log.matching("Restart aborted"), IsEmpty());
}

// MARK: - Default device changes

TEST_F(Capture, DefaultDeviceChangeWhileCapturingRestartsOnTheNewDevice) {
    auto& m = make();
    m.startCapture();
    queue.advance(0.2);
    system.currentEngine()->deliver(4800, 0.1f);
    micNameChanges = 0;
    system.changeDefaultDevice(builtInMic);
    queue.runUntilIdle();
    EXPECT_THAT(log.matching("🔄"), ElementsAre("🔄 System default input device changed",
                                               "🔄 Restarting capture for new default device",
                                               "🔄 Restart #1 — retrying in 0.5s"));
    EXPECT_EQ(appState.currentMicName.get(), "Built-in Microphone");
    EXPECT_GE(micNameChanges, 1);
    queue.advance(0.5);
    EXPECT_TRUE(m.isCapturing());
    EXPECT_TRUE(log.contains("♻️ Replacing old engine with fresh instance"));
    EXPECT_EQ(system.currentEngine()->boundDevice(), builtInMic);
}

TEST_F(Capture, DefaultDeviceChangeWhileIdleOnlyUpdatesTheNameAndRenewsTheEngine) {
    auto& m = make();
    m.startCapture();
    m.stopCapture();
    system.changeDefaultDevice(builtInMic);
    queue.runUntilIdle();
    EXPECT_THAT(log.matching("Restart"), IsEmpty());
    EXPECT_EQ(appState.currentMicName.get(), "Built-in Microphone");
    m.startCapture();
    EXPECT_EQ(system.enginesCreated, 2);
}

TEST_F(Capture, DestroyingTheManagerRemovesItsListenerAndStopsTheEngine) {
    make().startCapture();
    EXPECT_EQ(system.listenerCount(), 1u);
    manager.reset();
    EXPECT_EQ(system.listenerCount(), 0u);
    EXPECT_THAT(system.engines, IsEmpty());
    system.changeDefaultDevice(builtInMic);
    queue.advance(20.0); // scheduled health check and listener posts find no manager
    SUCCEED();
}

// MARK: - Devices

TEST_F(Capture, NoDefaultDeviceReadsAsUnknownAndStillAnnounces) {
    system.defaultDevice = noAudioDevice;
    make();
    EXPECT_EQ(appState.currentMicName.get(), "Unknown");
    EXPECT_TRUE(log.contains("🎤 Microphone: Unknown"));
    EXPECT_EQ(micNameChanges, 1);
}

struct BuiltInCase {
    const char* name;
    std::vector<AudioDevice> devices;
    bool readable;
    std::optional<AudioDeviceID> expected;
};

class BuiltInSearch : public Capture, public ::testing::WithParamInterface<BuiltInCase> {};

TEST_P(BuiltInSearch, FindsTheFirstBuiltInDeviceWithInput) {
    system.deviceList = GetParam().devices;
    system.deviceListReadable = GetParam().readable;
    auto& m = make();
    EXPECT_EQ(m.getBuiltInMicDeviceID(), GetParam().expected) << GetParam().name;
    EXPECT_EQ(log.matching("🎤 Found built-in mic").size(), GetParam().expected ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuiltInSearch,
    ::testing::Values(
        BuiltInCase{"output only",
                    {{2, "Speakers", false, true}, {1, "USB", true, false}},
                    true,
                    std::nullopt},
        BuiltInCase{"two built-in inputs",
                    {{1, "USB", true, false}, {5, "Front", true, true}, {4, "Rear", true, true}},
                    true,
                    5},
        BuiltInCase{"unreadable list", {{5, "Front", true, true}}, false, std::nullopt},
        BuiltInCase{"empty", {}, true, std::nullopt}),
    [](const auto& info) { return testName(info.param.name); });

TEST_F(Capture, BindingFailureIsLoggedButCaptureGoesOn) {
    system.bindStatus = -10851;
    auto& m = make();
    EXPECT_TRUE(m.startCapture());
    EXPECT_TRUE(log.contains("⚠️ setInputDevice: AudioUnitSetProperty failed (-10851)"));
}

} // namespace
} // namespace skrib::testing
