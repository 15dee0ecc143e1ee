// The feedback sounds through libcanberra into a private PulseAudio daemon: what reaches the
// default sink is recorded from its monitor with parec.
#include "LogCapture.h"
#include "PulseFixture.h"
#include "audio/canberra/CanberraSoundPlayer.h"

#include <cmath>
#include <cstdint>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

namespace skrib::testing {
namespace {

using namespace std::chrono_literals;
using SoundPlayerTest = PulseFixture;

// Records the sink's output for `seconds` while `during` runs; answers the peak level (0…1).
double peakWhile(PulseDaemon& daemon, double seconds, const std::function<void()>& during) {
    const std::string file = daemon.folder() + "/recorded.raw";
    auto recording = std::async(std::launch::async, [&] {
        // parec writes nothing when given a file name with --raw: record to standard output.
        return runCommand({"sh", "-c",
                           "exec timeout " + std::to_string(seconds) +
                               " parec --latency-msec=50 --raw --format=s16le --rate=44100"
                               " --channels=1 -d @DEFAULT_MONITOR@ > \"$0\"",
                           file},
                          daemon.childEnvironment());
    });
    // Start the sound only once the recording stream exists.
    EXPECT_TRUE(waitFor([&] {
        return !daemon.pactl({"list", "short", "source-outputs"}).output.empty();
    }));
    during();
    const CommandResult recorded = recording.get();
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(recorded.status, 124) << recorded.output; // stopped by the timeout, not failed
    double peak = 0.0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto sample = static_cast<std::int16_t>(
            static_cast<std::uint8_t>(bytes[i]) | (static_cast<std::uint8_t>(bytes[i + 1]) << 8));
        peak = std::max(peak, std::abs(sample / 32768.0));
    }
    return peak;
}

TEST_F(SoundPlayerTest, EachSoundReachesTheSoundServer) {
    CanberraSoundPlayer player(SKRIB_SOUNDS_DIR);
    for (const char* name : {"Glass", "Blow", "Basso"}) {
        SCOPED_TRACE(name);
        const double peak = peakWhile(daemon(), 2.5, [&] {
            player.play(name);
            player.drain();
        });
        EXPECT_GT(peak, 0.05);
    }
}

TEST_F(SoundPlayerTest, UnknownNamesAndPathsPlayNothing) {
    CanberraSoundPlayer player(SKRIB_SOUNDS_DIR);
    const double peak = peakWhile(daemon(), 1.2, [&] {
        for (const char* name : {"Ping", "", "../sounds/Glass", "/etc/passwd"}) {
            player.play(name);
        }
        player.drain();
    });
    EXPECT_LT(peak, 0.001);
    // The same recording does hear a real sound, so the silence above means something.
    EXPECT_GT(peakWhile(daemon(), 1.2, [&] { player.play("Glass"); }), 0.05);
}

TEST_F(SoundPlayerTest, NoSoundServerIsReportedOnceAndNeverBlocks) {
    LogCapture log;
    daemon().kill();
    CanberraSoundPlayer player(SKRIB_SOUNDS_DIR);
    for (int i = 0; i < 3; ++i) {
        player.play("Glass");
    }
    player.drain();
    EXPECT_EQ(log.matching("Sound feedback unavailable").size(), 1U);
}

} // namespace
} // namespace skrib::testing
