#include "audio/pulse/PulseAudioSystem.h"

#include "PulseDaemon.h"

#include <atomic>
#include <thread>

namespace skrib::testing {
namespace {

using namespace std::chrono_literals;
using PulseAudioSystemTest = PulseFixture;

// "name id built-in" per microphone, in the server's order.
std::vector<std::string> describe(const std::optional<std::vector<AudioDevice>>& devices) {
    std::vector<std::string> lines;
    for (const AudioDevice& device : devices.value_or(std::vector<AudioDevice>{})) {
        lines.push_back(device.name + " " + std::to_string(device.id) +
                        (device.hasInput ? " input" : "") + (device.builtIn ? " built-in" : ""));
    }
    return lines;
}

TEST_F(PulseAudioSystemTest, ListsMicrophonesAndTheirDefaultAndSeesThemComeAndGo) {
    PulseAudioSystem system;
    const std::string mic = std::to_string(daemon.idOf("mic"));
    const std::string builtin = std::to_string(daemon.idOf("builtin"));
    // The sink's monitor is no microphone.
    ASSERT_EQ(describe(system.devices()), (std::vector<std::string>{
                                              "USB Microphone " + mic + " input",
                                              "Built-in Microphone " + builtin + " input built-in",
                                          }));
    EXPECT_EQ(system.defaultInputDevice(), daemon.idOf("mic"));
    EXPECT_EQ(system.deviceName(daemon.idOf("builtin")), "Built-in Microphone");
    EXPECT_EQ(system.deviceName(daemon.idOf("out.monitor")), std::nullopt);
    EXPECT_EQ(system.deviceName(noAudioDevice), std::nullopt);

    // A microphone on the platform bus (a laptop's own codec) is built in as well.
    const auto module = daemon.loadModule(
        {"module-pipe-source", "source_name=codec", "file=" + daemon.folder() + "/codec.fifo",
         "source_properties=\"device.description=Codec device.bus=platform\""});
    ASSERT_TRUE(module.has_value());
    const AudioDeviceID codec = daemon.idOf("codec");
    EXPECT_EQ(describe(system.devices()).back(),
              "Codec " + std::to_string(codec) + " input built-in");
    ASSERT_EQ(daemon.pactl({"unload-module", std::to_string(*module)}).status, 0);
    EXPECT_EQ(describe(system.devices()).size(), 2u);
    EXPECT_EQ(system.deviceName(codec), std::nullopt);

    ASSERT_EQ(daemon.pactl({"set-default-source", "out.monitor"}).status, 0);
    EXPECT_EQ(system.defaultInputDevice(), noAudioDevice);
}

TEST_F(PulseAudioSystemTest, TellsListenersWhenTheDefaultMicrophoneChanges) {
    PulseAudioSystem system;
    std::atomic<int> calls{0};
    std::atomic<int> removedCalls{0};
    std::atomic<bool> onTestThread{false};
    const auto testThread = std::this_thread::get_id();
    system.addDefaultInputListener([&] {
        onTestThread = onTestThread || std::this_thread::get_id() == testThread;
        ++calls;
    });
    const auto removed = system.addDefaultInputListener([&] { ++removedCalls; });
    EXPECT_TRUE(system.removeDefaultInputListener(removed));

    ASSERT_EQ(daemon.pactl({"set-default-source", "builtin"}).status, 0);
    ASSERT_TRUE(waitFor([&] { return calls == 1; }));
    EXPECT_EQ(system.defaultInputDevice(), daemon.idOf("builtin"));
    EXPECT_FALSE(onTestThread);

    // A server change that leaves the default microphone alone (a new default sink) is no
    // reason to call; unplugging the default microphone is.
    ASSERT_TRUE(daemon.loadModule({"module-null-sink", "sink_name=out2"}).has_value());
    ASSERT_EQ(daemon.pactl({"set-default-sink", "out2"}).status, 0);
    ASSERT_TRUE(daemon.pactl({"unload-module", "module-null-source"}).status == 0);
    ASSERT_TRUE(waitFor([&] { return calls == 2; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(removedCalls, 0);
    EXPECT_EQ(system.defaultInputDevice(), daemon.idOf("mic"));
}

} // namespace
} // namespace skrib::testing
