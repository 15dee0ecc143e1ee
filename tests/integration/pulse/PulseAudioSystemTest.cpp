#include "audio/pulse/PulseAudioSystem.h"

#include "PulseFixture.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace skrib::testing {
namespace {

using namespace std::chrono_literals;

using PulseAudioSystemTest = PulseFixture;

const AudioDevice* findByName(const std::vector<AudioDevice>& devices, const std::string& name) {
    for (const AudioDevice& device : devices) {
        if (device.name == name) {
            return &device;
        }
    }
    return nullptr;
}

TEST_F(PulseAudioSystemTest, ListsTheMicrophonesWithoutSinkMonitors) {
    const AudioDeviceID mic = idOf("mic");
    const AudioDeviceID builtin = idOf("builtin");
    const AudioDeviceID monitor = idOf("out.monitor");
    ASSERT_NE(mic, noAudioDevice);
    ASSERT_NE(builtin, noAudioDevice);
    ASSERT_NE(monitor, noAudioDevice);

    PulseAudioSystem system;
    const auto devices = system.devices();
    ASSERT_TRUE(devices.has_value());
    // Two null sinks bring two monitors; neither is a microphone.
    ASSERT_EQ(devices->size(), 2u);

    const AudioDevice* usb = findByName(*devices, "USB Microphone");
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->id, mic);
    EXPECT_TRUE(usb->hasInput);
    EXPECT_FALSE(usb->builtIn); // on USB, no form factor

    const AudioDevice* internal = findByName(*devices, "Built-in Microphone");
    ASSERT_NE(internal, nullptr);
    EXPECT_EQ(internal->id, builtin);
    EXPECT_TRUE(internal->hasInput);
    EXPECT_TRUE(internal->builtIn);

    // The server's order.
    EXPECT_LT(mic, builtin);
    EXPECT_EQ(devices->front().id, mic);
}

TEST_F(PulseAudioSystemTest, ReadsTheDefaultAndNamesOfDevices) {
    PulseAudioSystem system;
    EXPECT_EQ(system.defaultInputDevice(), idOf("mic"));
    EXPECT_EQ(system.deviceName(idOf("mic")), "USB Microphone");
    EXPECT_EQ(system.deviceName(idOf("builtin")), "Built-in Microphone");
    EXPECT_EQ(system.deviceName(noAudioDevice), std::nullopt);
    EXPECT_EQ(system.deviceName(idOf("out.monitor")), std::nullopt);
    EXPECT_EQ(system.deviceName(idOf("builtin") + 1000), std::nullopt);
}

TEST_F(PulseAudioSystemTest, SeesDevicesPluggedInLater) {
    PulseAudioSystem system;
    const auto module = daemon().loadModule(
        "module-null-source", {"source_name=headset", "description=Headset", "rate=16000"});
    ASSERT_TRUE(module.has_value());
    const auto devices = system.devices();
    ASSERT_TRUE(devices.has_value());
    const AudioDevice* headset = findByName(*devices, "Headset");
    ASSERT_NE(headset, nullptr);
    EXPECT_EQ(headset->id, idOf("headset"));
    EXPECT_FALSE(headset->builtIn);

    ASSERT_TRUE(daemon().unloadModule(*module));
    EXPECT_EQ(findByName(*system.devices(), "Headset"), nullptr);
    EXPECT_EQ(system.deviceName(headset->id), std::nullopt);

    // A microphone on the platform bus (a laptop's own codec) is built in as well.
    ASSERT_TRUE(
        daemon()
            .loadModule("module-pipe-source",
                        {"source_name=dock", "file=" + daemon().folder() + "/dock.fifo",
                         "source_properties=\"device.description=Codec device.bus=platform\""})
            .has_value());
    const auto withDock = system.devices();
    ASSERT_TRUE(withDock.has_value());
    const AudioDevice* dock = findByName(*withDock, "Codec");
    ASSERT_NE(dock, nullptr);
    EXPECT_TRUE(dock->builtIn);
}

TEST_F(PulseAudioSystemTest, AMonitorAsDefaultIsNoInputDevice) {
    PulseAudioSystem system;
    ASSERT_EQ(daemon().pactl({"set-default-source", "out.monitor"}).status, 0);
    EXPECT_EQ(system.defaultInputDevice(), noAudioDevice);
}

TEST_F(PulseAudioSystemTest, TellsListenersWhenTheDefaultSourceChanges) {
    PulseAudioSystem system;
    const auto testThread = std::this_thread::get_id();
    std::atomic<int> first{0};
    std::atomic<int> removed{0};
    std::atomic<bool> onTestThread{false};
    const auto firstID = system.addDefaultInputListener([&] {
        onTestThread = onTestThread || std::this_thread::get_id() == testThread;
        ++first;
    });
    const auto removedID = system.addDefaultInputListener([&] { ++removed; });
    EXPECT_NE(firstID, removedID);
    EXPECT_TRUE(system.removeDefaultInputListener(removedID));
    EXPECT_FALSE(system.removeDefaultInputListener(removedID));

    ASSERT_EQ(daemon().pactl({"set-default-source", "builtin"}).status, 0);
    ASSERT_TRUE(waitFor([&] { return first >= 1; }));
    EXPECT_EQ(system.defaultInputDevice(), idOf("builtin"));
    EXPECT_FALSE(onTestThread);

    // A server change that leaves the default source alone (a new default sink) is no reason
    // to call; the change back to "mic" after it marks when its event was handled.
    ASSERT_EQ(daemon().pactl({"set-default-sink", "out2"}).status, 0);
    ASSERT_EQ(daemon().pactl({"set-default-source", "mic"}).status, 0);
    ASSERT_TRUE(waitFor([&] { return first >= 2; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(system.defaultInputDevice(), idOf("mic"));

    // Once removed, a listener hears nothing more; one added later does.
    EXPECT_TRUE(system.removeDefaultInputListener(firstID));
    EXPECT_FALSE(system.removeDefaultInputListener(firstID));
    std::atomic<int> later{0};
    system.addDefaultInputListener([&] { ++later; });
    ASSERT_EQ(daemon().pactl({"set-default-source", "builtin"}).status, 0);
    ASSERT_TRUE(waitFor([&] { return later >= 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(removed, 0);
}

TEST_F(PulseAudioSystemTest, UnpluggingTheDefaultMovesTheDefaultAndTellsListeners) {
    const auto module = daemon().loadModule("module-null-source", {"source_name=headset"});
    ASSERT_TRUE(module.has_value());
    ASSERT_EQ(daemon().pactl({"set-default-source", "headset"}).status, 0);
    PulseAudioSystem system;
    ASSERT_EQ(system.defaultInputDevice(), idOf("headset"));
    std::atomic<int> calls{0};
    system.addDefaultInputListener([&] { ++calls; });

    ASSERT_TRUE(daemon().unloadModule(*module));
    ASSERT_TRUE(waitFor([&] { return calls >= 1; }));
    const AudioDeviceID now = system.defaultInputDevice();
    EXPECT_TRUE(now == idOf("mic") || now == idOf("builtin") || now == noAudioDevice) << now;
}

TEST_F(PulseAudioSystemTest, AnswersNoneWhileTheServerIsGoneAndStaysUsable) {
    PulseAudioSystem system;
    ASSERT_EQ(system.defaultInputDevice(), idOf("mic"));
    daemon().kill();

    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(system.defaultInputDevice(), noAudioDevice);
    EXPECT_FALSE(system.devices().has_value());
    EXPECT_EQ(system.deviceName(1), std::nullopt);
    const auto id = system.addDefaultInputListener([] {});
    EXPECT_TRUE(system.removeDefaultInputListener(id));
    auto engine = system.createEngine();
    ASSERT_NE(engine, nullptr);
    const auto error = engine->start();
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->empty());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
}

TEST_F(PulseAudioSystemTest, ReconnectsWhenAServerIsBackAndWatchesItsDefault) {
    PulseAudioSystem system;
    std::atomic<int> calls{0};
    system.addDefaultInputListener([&] { ++calls; });
    daemon().kill();
    EXPECT_EQ(system.defaultInputDevice(), noAudioDevice);

    PulseDaemon second; // a new server; PULSE_SERVER now points at it
    ASSERT_TRUE(second.running()) << second.error();
    const AudioDeviceID mic = second.sourceIndices().at("mic") + 1;
    // A query after the retry interval connects again.
    EXPECT_TRUE(waitFor([&] { return system.defaultInputDevice() == mic; }, 3s));
    ASSERT_EQ(second.pactl({"set-default-source", "builtin"}).status, 0);
    EXPECT_TRUE(waitFor([&] { return calls >= 1; }));
    EXPECT_EQ(system.defaultInputDevice(), second.sourceIndices().at("builtin") + 1);
}

} // namespace
} // namespace skrib::testing
