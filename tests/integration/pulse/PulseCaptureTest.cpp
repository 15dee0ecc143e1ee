// The capture manager on the real PulseAudio adapter, the real converter and Qt's main queue:
// speech in at the microphone, 16 kHz mono blocks out.

#include "LogCapture.h"
#include "PulseDaemon.h"
#include "app/AppState.h"
#include "audio/AudioCaptureManager.h"
#include "audio/ffmpeg/SwrAudioConverter.h"
#include "audio/pulse/PulseAudioSystem.h"
#include "platform/NotificationCenter.h"
#include "platform/qt/QtScheduler.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

#include <QCoreApplication>

namespace skrib::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Spoken words as 48 kHz stereo s16 (flite's voice through sox); the right channel at half the
// left's level, so that a channel lost or mixed with the wrong weight shows. Empty on failure.
std::vector<std::int16_t> speech(const std::string& folder, const std::string& text) {
    const std::string wav = folder + "/speech.wav", raw = folder + "/speech.raw";
    if (runCommand({"flite", "-voice", "rms", "-t", text, "-o", wav}).status != 0 ||
        runCommand({"sox", wav,      "-t", "raw", "-r",    "48000", "-c",    "2",   "-b", "16",
                    "-e",  "signed", "-L", raw,   "remix", "1",     "1v0.5", "pad", "0",  "0.3"})
                .status != 0) {
        return {};
    }
    std::ifstream in(raw, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// Writes samples into the pipe source's FIFO as a microphone delivers them: 10 ms at a time, in
// real time (written at once, the server would take them as one burst).
void feed(const std::string& fifo, const std::vector<std::int16_t>& samples) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    const auto start = Clock::now();
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

using PulseCaptureTest = PulseFixture;

TEST_F(PulseCaptureTest, SpeechAtTheMicrophoneArrivesAs16kMonoBlocksAtItsLevel) {
    LogCapture log; // keeps the manager's lines out of the shared scratch log
    QtScheduler queue;
    SwrAudioConverterFactory converters;
    AppState appState;
    NotificationCenter center;
    const std::vector<std::int16_t> fed =
        speech(daemon.folder(), "Please call me back after lunch.");
    ASSERT_FALSE(fed.empty()) << "flite or sox failed";
    const std::size_t frames = fed.size() / 2;

    std::mutex mutex;
    std::vector<float> samples;
    std::set<double> rates;
    queue.start();
    {
        PulseAudioSystem system;
        AudioCaptureManager manager(system, converters, queue, appState, center);
        manager.onAudioBuffer = [&](const AudioBuffer16k& block) {
            std::lock_guard lock(mutex);
            samples.insert(samples.end(), block.samples().begin(), block.samples().end());
            rates.insert(block.sampleRate());
        };
        EXPECT_EQ(appState.currentMicName.get(), "USB Microphone");
        ASSERT_TRUE(manager.startCapture());

        std::atomic<bool> fedAll{false};
        std::thread feeder([&] {
            feed(daemon.micFifo(), fed);
            fedAll = true;
        });
        // 4800 frames at 48 kHz per tap buffer, 1600 samples at 16 kHz per block.
        const std::size_t expected = frames / 4800 * 1600;
        const auto deadline = Clock::now() + 3s + 1ms * (frames / 48);
        for (std::size_t got = 0; (!fedAll || got < expected) && Clock::now() < deadline;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(5ms);
            std::lock_guard lock(mutex);
            got = samples.size() + 1600; // the resampler may hold a few samples back
        }
        feeder.join();
        manager.stopCapture();
        EXPECT_FALSE(manager.isCapturing());
        std::lock_guard lock(mutex);
        EXPECT_GE(samples.size() + 1600, expected);
        EXPECT_LE(samples.size(), expected + 100); // nothing made up
    }
    queue.stop();
    EXPECT_EQ(rates, std::set<double>{16000.0});

    // Left and right mixed with equal weights: the level of (left + right) / 2.
    double fedSum = 0, gotSum = 0;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const double mono = (fed[2 * frame] + fed[2 * frame + 1]) / 2.0 / 32768.0;
        fedSum += mono * mono;
    }
    for (const float sample : samples) {
        gotSum += sample * sample;
    }
    const double fedLevel = std::sqrt(fedSum / static_cast<double>(frames));
    const double gotLevel = std::sqrt(gotSum / static_cast<double>(frames / 3));
    ASSERT_GT(fedLevel, 0.01) << "the speech is too quiet to measure";
    EXPECT_NEAR(gotLevel, fedLevel, 0.1 * fedLevel);
}

} // namespace
} // namespace skrib::testing
