// The feedback sounds through libcanberra into the private daemon: what reaches the default
// sink is recorded from its monitor with parec.
#include "LogCapture.h"
#include "PulseDaemon.h"
#include "audio/canberra/CanberraSoundPlayer.h"

#include <cstdlib>
#include <future>

namespace skrib::testing {
namespace {

using SoundPlayerTest = PulseFixture;

TEST_F(SoundPlayerTest, TheWorkerPlaysTheSoundThroughTheSoundServer) {
    LogCapture log;
    CanberraSoundPlayer player(SKRIB_SOUNDS_DIR);
    // parec writes nothing when given a file name with --raw: it records to standard output.
    auto recording = std::async(std::launch::async, [&] {
        return runCommand({"timeout", "2.5", "parec", "--latency-msec=50", "--raw",
                           "--format=s16le", "--rate=44100", "--channels=1", "-d",
                           "@DEFAULT_MONITOR@"});
    });
    // The sound starts once the recording stream exists.
    ASSERT_TRUE(waitFor([&] {
        return !daemon.pactl({"list", "short", "source-outputs"}).output.empty();
    }));
    player.play("Glass");
    player.drain();
    const auto [status, bytes] = recording.get();
    EXPECT_EQ(status, 124) << bytes; // ended by the timeout, not failed
    int peak = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        peak = std::max(peak, std::abs(static_cast<int>(static_cast<std::int16_t>(
                                  static_cast<std::uint8_t>(bytes[i]) |
                                  static_cast<std::uint8_t>(bytes[i + 1]) << 8))));
    }
    EXPECT_GT(peak, 32768 / 20) << bytes.size() << " bytes recorded";
    EXPECT_TRUE(log.matching("Sound feedback unavailable").empty());
}

} // namespace
} // namespace skrib::testing
