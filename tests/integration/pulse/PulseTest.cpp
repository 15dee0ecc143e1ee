// The PulseAudio adapters, the capture manager and a dictation on them, and the feedback
// sounds, each test against a private PulseAudio daemon of its own.

#include "FakeAudio.h"
#include "FakeSystem.h"
#include "FakeInput.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "audio/AudioCaptureManager.h"
#include "audio/canberra/CanberraSoundPlayer.h"
#include "audio/ffmpeg/SwrAudioConverter.h"
#include "audio/pulse/PulseAudioSystem.h"
#include "dictation/DictationController.h"
#include "platform/NotificationCenter.h"
#include "platform/qt/QtScheduler.h"
#include "state/AppState.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <numeric>
#include <optional>
#include <ranges>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include <QCoreApplication>
#include <QtCore/qtestsupport_core.h>

namespace skrib::testing {
namespace {

using namespace std::chrono_literals;

/// A finished program's exit status and output. Its arguments hold no single quote.
struct CommandResult {
    int status = -1;
    std::string output;
};

CommandResult runCommand(const std::vector<std::string>& arguments) {
    std::string line = "exec";
    for (const std::string& argument : arguments) {
        line += " '" + argument + "'";
    }
    CommandResult result;
    std::FILE* output = ::popen((line + " </dev/null 2>&1").c_str(), "re");
    char chunk[4096];
    for (std::size_t got;
         output != nullptr && (got = std::fread(chunk, 1, sizeof chunk, output)) > 0;) {
        result.output.append(chunk, got);
    }
    const int status = output != nullptr ? ::pclose(output) : -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Raw s16 samples in the machine's order.
std::vector<std::int16_t> samplesOf(const std::string& bytes) {
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

/// A private PulseAudio daemon per test, PULSE_SERVER pointing at it: a null sink "out", a pipe
/// source "mic" (48 kHz stereo, USB, the default) fed through mic.fifo in its folder, and a
/// clock-driven null source "builtin" (internal, PCI). It is stopped by its PID at the end.
class PulseTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("SKRIB_TEST_TMP");
        folder_ = std::string(base != nullptr ? base : "/tmp") + "/pulse-XXXXXX";
        ASSERT_NE(::mkdtemp(folder_.data()), nullptr);
        std::filesystem::create_directories(folder_ + "/run");
        std::filesystem::permissions(folder_ + "/run", std::filesystem::perms::owner_all);
        // The socket comes last: once it answers, every device above exists.
        std::ofstream(folder_ + "/pa.pa")
            << ".fail\nload-module module-null-sink sink_name=out\n"
            << "load-module module-pipe-source source_name=mic file=" << folder_ + "/mic.fifo"
            << " format=s16le rate=48000 channels=2"
            << " source_properties=\"device.description='USB Microphone' device.bus=usb\"\n"
            << "load-module module-null-source source_name=builtin\n"
            << "update-source-proplist builtin device.description=\"Built-in Microphone\""
            << " device.form_factor=internal device.bus=pci\nset-default-source mic\n"
            << "load-module module-native-protocol-unix socket=" << folder_
            << "/pulse.sock auth-anonymous=1\n";
        // Its own home, no session bus, no display: the daemon keeps to itself. Should the
        // tests die, the kernel ends it too.
        process_ = ::popen(("cd " + folder_ +
                            " && echo $$ && exec setpriv --pdeathsig KILL env -u DISPLAY"
                            " -u DBUS_SESSION_BUS_ADDRESS HOME=$PWD XDG_CONFIG_HOME=$PWD"
                            " XDG_RUNTIME_DIR=$PWD/run pulseaudio -n -F pa.pa --daemonize=no"
                            " --exit-idle-time=-1 --use-pid-file=no --realtime=no"
                            " --high-priority=no --log-target=stderr >pa.log 2>&1")
                               .c_str(),
                           "re");
        char pid[16] = {};
        if (process_ != nullptr && std::fgets(pid, sizeof pid, process_) != nullptr) {
            pid_ = std::atoi(pid);
        }
        ::setenv("PULSE_SERVER", ("unix:" + folder_ + "/pulse.sock").c_str(), 1);
        // pactl answers once the socket does.
        ASSERT_TRUE(QTest::qWaitFor([this] { return pactl({"info"}).status == 0; }, 10000))
            << std::ifstream(folder_ + "/pa.log").rdbuf();
    }

    void TearDown() override {
        kill();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    const std::string& folder() const { return folder_; }

    CommandResult pactl(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), "pactl");
        return runCommand(arguments);
    }

    /// Loads a module; answers the index it got (unload-module takes it), or none.
    std::optional<int> loadModule(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), "load-module");
        const CommandResult result = pactl(arguments);
        return result.status == 0 ? std::optional(std::atoi(result.output.c_str())) : std::nullopt;
    }

    /// The device ID the adapter gives a source: the server's index + 1 (noAudioDevice: none).
    AudioDeviceID idOf(const std::string& sourceName) const {
        std::istringstream lines(pactl({"list", "short", "sources"}).output);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("\t" + sourceName + "\t") != std::string::npos) {
                return static_cast<AudioDeviceID>(std::stoul(line)) + 1;
            }
        }
        return noAudioDevice;
    }

    /// Kills the daemon now: the server vanishes under its clients.
    void kill() {
        if (pid_ > 0) {
            ::kill(std::exchange(pid_, -1), SIGKILL);
        }
        if (process_ != nullptr) {
            ::pclose(std::exchange(process_, nullptr)); // waits for it
        }
    }

private:
    std::string folder_;
    pid_t pid_ = -1;
    std::FILE* process_ = nullptr; // the daemon, as popen started it
};

// "name id input built-in" per microphone, in the server's order.
std::vector<std::string> describe(const std::optional<std::vector<AudioDevice>>& devices) {
    std::vector<std::string> lines;
    for (const AudioDevice& device : devices.value_or(std::vector<AudioDevice>{})) {
        lines.push_back(device.name + " " + std::to_string(device.id) +
                        (device.hasInput ? " input" : "") + (device.builtIn ? " built-in" : ""));
    }
    return lines;
}

TEST_F(PulseTest, SystemListsMicrophonesAndTheirDefaultAndTellsWhenItChanges) {
    PulseAudioSystem system;
    std::atomic<int> calls{0}, removedCalls{0};
    system.addDefaultInputListener([&] { ++calls; });
    EXPECT_TRUE(
        system.removeDefaultInputListener(system.addDefaultInputListener([&] { ++removedCalls; })));
    const std::string mic = std::to_string(idOf("mic")), builtin = std::to_string(idOf("builtin"));
    // The sink's monitor is no microphone.
    ASSERT_EQ(describe(system.devices()),
              (std::vector<std::string>{"USB Microphone " + mic + " input",
                                        "Built-in Microphone " + builtin + " input built-in"}));
    EXPECT_EQ(system.defaultInputDevice(), idOf("mic"));
    EXPECT_EQ(system.deviceName(idOf("builtin")), "Built-in Microphone");
    EXPECT_EQ(system.deviceName(idOf("out.monitor")), std::nullopt);

    // A microphone on the platform bus (a laptop's own codec) is built in as well.
    const auto module =
        loadModule({"module-pipe-source", "source_name=codec", "file=" + folder() + "/codec.fifo",
                    "source_properties=\"device.description=Codec device.bus=platform\""});
    ASSERT_TRUE(module.has_value());
    const AudioDeviceID codec = idOf("codec");
    EXPECT_EQ(describe(system.devices()).back(),
              "Codec " + std::to_string(codec) + " input built-in");
    ASSERT_EQ(pactl({"unload-module", std::to_string(*module)}).status, 0);
    EXPECT_EQ(system.deviceName(codec), std::nullopt);

    ASSERT_EQ(pactl({"set-default-source", "out.monitor"}).status, 0);
    EXPECT_EQ(system.defaultInputDevice(), noAudioDevice);
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls == 1; })); // the microphones came and went
    ASSERT_EQ(pactl({"set-default-source", "builtin"}).status, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls == 2; }));
    EXPECT_EQ(system.defaultInputDevice(), idOf("builtin"));

    // A server change that leaves the default microphone alone (a new default sink) is no
    // reason to call; unplugging the default microphone is.
    ASSERT_TRUE(loadModule({"module-null-sink", "sink_name=out2"}).has_value());
    ASSERT_EQ(pactl({"set-default-sink", "out2"}).status, 0);
    ASSERT_EQ(pactl({"unload-module", "module-null-source"}).status, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls == 3; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(removedCalls, 0);
    EXPECT_EQ(system.defaultInputDevice(), idOf("mic"));
}

// Counts what a tap delivers, and what it delivers once it should have stopped.
struct Tap {
    std::atomic<int> buffers{0}, afterClose{0};
    std::atomic<bool> closed{false};

    AudioEngine::TapCallback callback() {
        return [this](const AudioTapBuffer&) { ++buffers, afterClose += closed ? 1 : 0; };
    }
};

// Starts the engine on the source with a tap of 10 ms; waits for samples.
void capture(AudioEngine& engine, AudioDeviceID device, Tap& tap) {
    EXPECT_EQ(engine.setInputDevice(device), 0);
    EXPECT_EQ(engine.start(), std::nullopt);
    EXPECT_EQ(engine.installTap(441, tap.callback()), std::nullopt);
    EXPECT_TRUE(QTest::qWaitFor([&] { return tap.buffers >= 2; }));
}

TEST_F(PulseTest, EngineDeliversNothingOnceTheTapIsRemovedOrTheEngineStopped) {
    PulseAudioSystem system;
    auto engine = system.createEngine();
    for (int round = 0; round < 2; ++round) {
        Tap removed, stopped;
        capture(*engine, idOf("builtin"), removed);
        engine->removeTap();
        removed.closed = true;
        std::this_thread::sleep_for(50ms); // five buffers' time
        EXPECT_EQ(engine->installTap(441, stopped.callback()), std::nullopt);
        ASSERT_TRUE(QTest::qWaitFor([&] { return stopped.buffers >= 2; }));
        engine->stop();
        stopped.closed = true;
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(removed.afterClose + stopped.afterClose, 0);
    }
}

TEST_F(PulseTest, EngineReportsAnUnpluggedMicrophoneOrLostServerOnceAndEndsCapture) {
    const auto module = loadModule({"module-null-source", "source_name=headset"});
    ASSERT_TRUE(module.has_value());
    PulseAudioSystem system;
    for (const bool unplug : {true, false}) {
        SCOPED_TRACE(unplug ? "microphone unplugged" : "server gone");
        auto engine = system.createEngine();
        Tap tap;
        capture(*engine, idOf(unplug ? "headset" : "builtin"), tap);
        std::atomic<int> changes{0};
        engine->setConfigurationChangeHandler([&] { ++changes; });
        if (unplug) {
            // A running microphone as the new default: a stream that followed it after the
            // unplug (instead of ending) would keep delivering.
            ASSERT_EQ(pactl({"set-default-source", "builtin"}).status, 0);
            ASSERT_EQ(pactl({"unload-module", std::to_string(*module)}).status, 0);
        } else {
            kill();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return changes >= 1; }));
        tap.closed = true;
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(changes, 1); // the stream failing and the source or server going: one loss
        EXPECT_EQ(tap.afterClose, 0);
        engine->stop();
        const std::string error = engine->start().value_or("");
        EXPECT_TRUE(unplug ? error == "No input device" : !error.empty()) << error;
    }
    EXPECT_EQ(system.defaultInputDevice(), noAudioDevice);
    EXPECT_FALSE(system.devices().has_value());
}

// Spoken words as 48 kHz stereo s16, the right channel at half the left's level (so that a
// channel lost or mixed with the wrong weight shows); empty on failure.
std::vector<std::int16_t> speech(const std::string& folder, const std::string& text) {
    const std::string wav = folder + "/speech.wav";
    if (runCommand({"flite", "-voice", "rms", "-t", text, "-o", wav}).status != 0) {
        return {};
    }
    const CommandResult raw =
        runCommand({"sox", "-V1", wav, "-t", "raw", "-r", "48000", "-c", "2", "-b", "16", "-e",
                    "signed", "-L", "-", "remix", "1", "1v0.5"});
    return raw.status == 0 ? samplesOf(raw.output) : std::vector<std::int16_t>{};
}

// Writes into the FIFO as a microphone delivers: 10 ms at a time, in real time (not in a burst).
// Ends early once the FIFO is full: a pipe source reads only while something records.
void feed(const std::string& fifo, const std::vector<std::int16_t>& samples) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const auto start = std::chrono::steady_clock::now();
    constexpr std::size_t chunk = 480 * 2;
    for (std::size_t offset = 0, i = 0; fd >= 0 && offset < samples.size(); offset += chunk) {
        std::this_thread::sleep_until(start + 10ms * i++);
        const std::size_t count = std::min(chunk, samples.size() - offset);
        if (::write(fd, samples.data() + offset, count * 2) != static_cast<ssize_t>(count * 2)) {
            break;
        }
    }
    ::close(fd);
}

// A dictation on the only microphone while a sentence is spoken into it, ended by a stop just
// after the sentence, by the microphone going (so capture cannot start again) or by the program
// quitting while blocks still come.
class PulseDictation : public PulseTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(PulseDictation, KeepsTheWholeSentenceAndEndsWithItsMicrophoneOrTheProgram) {
    SilentSurface view;
    LogCapture log;
    QtScheduler queue;
    SwrAudioConverterFactory converters;
    FakeAudioEncoderFactory encoders; // holds the finish: the session keeps its samples
    encoders.holdFinishes = true;
    AppState appState;
    NotificationCenter center;
    MemoryDefaults defaults;
    FakeKeyboardHook keyboard;
    FakeDesktop desktop{queue};
    GlobalHotkey hotkey{keyboard, queue, defaults};
    TextInserter inserter{desktop, queue, defaults};
    const std::vector<std::int16_t> fed = speech(folder(), "Please call me back after lunch.");
    ASSERT_FALSE(fed.empty()) << "flite or sox failed";
    ASSERT_EQ(pactl({"unload-module", "module-null-source"}).status, 0); // the pipe is left
    queue.start();
    PulseAudioSystem system;
    AudioCaptureManager capture(system, converters, queue, appState, center);
    auto controller = std::make_unique<DictationController>(DictationController::Components{
        appState, queue, defaults, center, capture, encoders, hotkey, inserter, view, desktop, view,
        view, []() -> RefineClient* { return nullptr; }, nullptr});
    controller->setupAudio();
    controller->startDictation();
    const auto session = controller->currentSession();
    auto feeding = std::async(std::launch::async, [&] { feed(folder() + "/mic.fifo", fed); });
    if (GetParam() == "stop") {
        feeding.get(); // the sentence ends just before the stop, in the middle of a block
        controller->stopDictation();
        const auto samples = samplesOf(session->getWAVData().substr(44));
        const std::size_t frames = fed.size() / 2; // the resampler keeps 16 samples back
        EXPECT_NEAR(static_cast<double>(samples.size()), frames / 3.0, 32) << "samples at 16 kHz";
        // Left and right mixed with equal weights: the level of (left + right) / 2.
        double fedSum = 0;
        for (std::size_t i = 0; i + 1 < fed.size(); i += 2) {
            fedSum += std::pow((fed[i] + fed[i + 1]) / 65536.0, 2);
        }
        const double gotSum =
            std::inner_product(samples.begin(), samples.end(), samples.begin(), 0.0);
        const double fedLevel = std::sqrt(fedSum / static_cast<double>(frames));
        const double gotLevel = std::sqrt(gotSum / static_cast<double>(frames / 3)) / 32767;
        ASSERT_GT(fedLevel, 0.01) << "the speech is too quiet to measure";
        EXPECT_NEAR(gotLevel, fedLevel, 0.1 * fedLevel);
        return;
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return session->sampleCount() > 0; }));
    if (GetParam() == "unplug") {
        ASSERT_EQ(pactl({"unload-module", "module-pipe-source"}).status, 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return appState.state.get() != SkribState::listening; }));
        EXPECT_TRUE(log.contains("❌ Audio capture permanently failed — force-stopping dictation"));
    }
    controller.reset();
    const std::int64_t delivered = capture.bufferCount();
    std::this_thread::sleep_for(300ms); // a block coming now would meet its handler going
    EXPECT_EQ(capture.bufferCount(), delivered) << "capture outlived the controller";
}

INSTANTIATE_TEST_SUITE_P(Ends, PulseDictation, ::testing::Values("stop", "unplug", "quit"),
                         [](const auto& info) { return info.param; });

TEST_F(PulseTest, SoundPlayerPlaysTheSoundThroughTheSoundServer) {
    CanberraSoundPlayer player(SKRIB_SOUNDS_DIR);
    // parec writes nothing when given a file name with --raw: it records to standard output.
    auto recording = std::async(std::launch::async, [&] {
        return runCommand({"timeout", "2.5", "parec", "--latency-msec=50", "--raw",
                           "--format=s16le", "--rate=44100", "--channels=1", "-d",
                           "@DEFAULT_MONITOR@"});
    });
    // The sound starts once the recording stream exists.
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return !pactl({"list", "short", "source-outputs"}).output.empty();
    }));
    player.play("Glass");
    player.drain();
    const auto [status, bytes] = recording.get();
    EXPECT_EQ(status, 124) << bytes; // ended by the timeout, not failed
    const auto levels = samplesOf(bytes) | std::views::transform([](int s) { return std::abs(s); });
    EXPECT_GT(std::ranges::max(levels), 32768 / 20) << bytes.size() << " bytes recorded";
}

} // namespace
} // namespace skrib::testing

int main(int argc, char** argv) {
    // A FIFO whose reader was unloaded must fail the writer's write(), not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv); // the capture manager runs on Qt's main queue
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
