#include "PulseDaemon.h"
#include "audio/pulse/PulseAudioSystem.h"

#include <atomic>
#include <thread>

namespace skrib::testing {
namespace {

using namespace std::chrono_literals;
using PulseAudioEngineTest = PulseFixture;

// Counts what a tap delivers, and what it delivers once it should have stopped.
struct Tap {
    std::atomic<int> buffers{0};
    std::atomic<bool> closed{false};
    std::atomic<int> afterClose{0};

    AudioEngine::TapCallback callback() {
        return [this](const AudioTapBuffer&) {
            ++buffers;
            afterClose += closed ? 1 : 0;
        };
    }
};

// Starts the engine on the source with a tap of 10 ms; waits for samples.
void capture(AudioEngine& engine, AudioDeviceID device, Tap& tap) {
    EXPECT_EQ(engine.setInputDevice(device), 0);
    EXPECT_EQ(engine.start(), std::nullopt);
    EXPECT_EQ(engine.installTap(441, tap.callback()), std::nullopt);
    EXPECT_TRUE(waitFor([&] { return tap.buffers >= 2; }));
}

TEST_F(PulseAudioEngineTest, NothingArrivesOnceTheTapIsRemovedOrTheEngineStopped) {
    PulseAudioSystem system;
    auto engine = system.createEngine();
    for (int round = 0; round < 2; ++round) {
        Tap removed, stopped;
        capture(*engine, daemon.idOf("builtin"), removed);
        engine->removeTap();
        removed.closed = true;
        EXPECT_EQ(engine->installTap(441, stopped.callback()), std::nullopt);
        ASSERT_TRUE(waitFor([&] { return stopped.buffers >= 2; }));
        engine->stop();
        stopped.closed = true;
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(removed.afterClose + stopped.afterClose, 0);
    }
}

TEST_F(PulseAudioEngineTest, UnpluggingTheMicrophoneReportsOneChangeAndEndsTheCapture) {
    const auto module = daemon.loadModule({"module-null-source", "source_name=headset"});
    ASSERT_TRUE(module.has_value());
    PulseAudioSystem system;
    auto engine = system.createEngine();
    Tap tap;
    capture(*engine, daemon.idOf("headset"), tap);
    std::atomic<int> changes{0};
    std::atomic<bool> onTestThread{false};
    const auto testThread = std::this_thread::get_id();
    engine->setConfigurationChangeHandler([&] {
        onTestThread = onTestThread || std::this_thread::get_id() == testThread;
        ++changes;
    });

    // A running microphone as the new default: a stream that followed it after the unplug
    // (instead of ending) would keep delivering.
    ASSERT_EQ(daemon.pactl({"set-default-source", "builtin"}).status, 0);
    ASSERT_EQ(daemon.pactl({"unload-module", std::to_string(*module)}).status, 0);
    ASSERT_TRUE(waitFor([&] { return changes >= 1; }));
    tap.closed = true;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(changes, 1); // the stream failing and the source going are one loss
    EXPECT_FALSE(onTestThread);
    EXPECT_EQ(tap.afterClose, 0);
    engine->stop();
    EXPECT_EQ(engine->start(), "No input device");
}

TEST_F(PulseAudioEngineTest, TheServerGoingAwayReportsOneChangeAndNothingHangs) {
    PulseAudioSystem system;
    auto engine = system.createEngine();
    Tap tap;
    capture(*engine, daemon.idOf("builtin"), tap);
    std::atomic<int> changes{0};
    engine->setConfigurationChangeHandler([&] { ++changes; });

    daemon.kill();
    ASSERT_TRUE(waitFor([&] { return changes >= 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(changes, 1); // the connection and the stream failing are one loss
    engine->stop();
    const auto error = engine->start();
    EXPECT_TRUE(error.has_value() && !error->empty());
    EXPECT_EQ(system.defaultInputDevice(), noAudioDevice);
    EXPECT_FALSE(system.devices().has_value());
}

} // namespace
} // namespace skrib::testing
