#include "app/DictationController.h"

#include "FakeAudio.h"
#include "FakeHttp.h"
#include "FakeInput.h"
#include "FakeScheduler.h"
#include "FakeSystem.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "app/Notifications.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct FakeIndicator : IndicatorView {
    std::vector<std::string> calls;
    std::vector<float> levels;
    void showIndicator() override { calls.push_back("show"); }
    void hideIndicator() override { calls.push_back("hide"); }
    void showProcessing() override { calls.push_back("processing"); }
    void showError(const std::string& m) override { calls.push_back("error " + m); }
    void pushLevel(float level) override { levels.push_back(level); }
    void setMaxDuration(double s) override {
        calls.push_back("max " + std::to_string(static_cast<int>(s)));
    }
};

struct FakeSounds : SoundPlayer {
    std::vector<std::string> played;
    void play(const std::string& name) override { played.push_back(name); }
};

class Controller : public ::testing::Test {
protected:
    Controller() {
        char pattern[] = "/tmp/skrib-controller-XXXXXX";
        home = ::mkdtemp(pattern);
        audio.format = {16000, 1, SampleType::float32, true};
        audio.deviceList = {{1, "USB Microphone", true, false}};
        audio.defaultDevice = 1;
        desktop.frontmost = TargetApplication{77, 4242, "Editor"};
        client = std::make_unique<RefineClient>(RefineClient::Environment{
            http, secrets, defaults, "http://127.0.0.1:8787", home.string(), "pc", "6.1.0"});
        capture = std::make_unique<AudioCaptureManager>(audio, converters, queue, appState, center);
        controller = std::make_unique<DictationController>(DictationController::Components{
            appState, queue, defaults, center, *capture, hotkey, inserter, indicator, desktop,
            sounds, alerts, [this] { return client.get(); },
            [this](const std::string& text) { transcripts.push_back(text); }});
        controller->setupAudio();
        controller->setupDictation();
        queue.runUntilIdle();
        log.clear();
    }
    ~Controller() override {
        controller.reset();
        capture.reset();
        fs::remove_all(home);
    }

    /// Records `seconds` of audio through the fake microphone, in 0.1 s blocks.
    void record(double seconds, float value = 0.2f) {
        const int blocks = static_cast<int>(std::lround(seconds * 10));
        for (int i = 0; i < blocks; ++i) {
            ASSERT_TRUE(audio.currentEngine()->deliver(1600, value));
        }
        queue.runUntilIdle();
    }
    /// Index of the newest upload.
    std::size_t lastUpload() const {
        const auto sent = http.sent();
        for (std::size_t i = sent.size(); i-- > 0;) {
            if (sent[i].request.url.ends_with("/process")) {
                return i;
            }
        }
        return SIZE_MAX;
    }
    std::size_t uploads() const {
        std::size_t n = 0;
        for (const auto& s : http.sent()) {
            n += s.request.url.ends_with("/process") ? 1 : 0;
        }
        return n;
    }
    void answer(std::size_t upload, const std::string& body, int status = 200) {
        http.respond(upload, status, body);
        queue.runUntilIdle();
    }

    LogCapture log;
    fs::path home;
    FakeScheduler queue;
    AppState appState;
    NotificationCenter center;
    MemoryDefaults defaults;
    MemorySecretStore secrets;
    FakeHttpClient http;
    FakeAudioSystem audio;
    FakeAudioConverterFactory converters;
    FakeKeyboardHook keyboard;
    GlobalHotkey hotkey{keyboard, queue, defaults};
    FakeDesktop desktop{queue};
    TextInserter inserter{desktop, queue, defaults};
    FakeIndicator indicator;
    FakeSounds sounds;
    FakeAlerts alerts;
    std::vector<std::string> transcripts;
    std::unique_ptr<RefineClient> client;
    std::unique_ptr<AudioCaptureManager> capture;
    std::unique_ptr<DictationController> controller;
};

TEST_F(Controller, OneDictationFromToggleToPaste) {
    controller->toggleDictation();
    EXPECT_EQ(appState.state.get(), SkribState::listening);
    EXPECT_TRUE(appState.isDictating.get());
    EXPECT_TRUE(keyboard.escapeGrabbed);
    EXPECT_TRUE(log.contains("🎯 Target app for paste: Editor"));
    EXPECT_TRUE(log.contains("🎙 Dictation started"));
    EXPECT_EQ(http.sent().back().request.url, "http://127.0.0.1:8787/update/check?v=warm");
    record(0.5);
    EXPECT_EQ(indicator.levels.size(), 5u);
    EXPECT_NEAR(indicator.levels[0], 0.2f, 1e-4);

    controller->toggleDictation();
    EXPECT_EQ(appState.state.get(), SkribState::processing);
    EXPECT_FALSE(keyboard.escapeGrabbed);
    const auto sending = log.matching("🎙 Sending");
    ASSERT_EQ(sending.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        sending[0], std::regex(R"(🎙 Sending 16044 bytes \(0\.5s\) \| wav-encode=\d+ms)")))
        << sending[0];
    record(0.0);
    answer(lastUpload(), R"({"raw":"hello there","refined":"Hello there.","total_ms":300})");
    EXPECT_EQ(appState.state.get(), SkribState::idle);
    EXPECT_TRUE(log.contains("📋 Inserting: Hello there...."));
    EXPECT_EQ(log.matching("⏱ LATENCY key-release→paste=").size(), 1u);
    EXPECT_THAT(transcripts, ElementsAre("Hello there."));
    queue.advance(1.0);
    EXPECT_EQ(desktop.clipboard, "Hello there.");
    EXPECT_THAT(desktop.actions.back().second, "paste");
    EXPECT_THAT(sounds.played, ElementsAre("Blow", "Glass"));
    EXPECT_THAT(indicator.calls, ElementsAre("show", "max 3600", "processing", "hide"));
}

struct LengthCase {
    double seconds;
    bool sent;
};

class RecordingLength : public Controller, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(RecordingLength, UnderThreeTenthsIsTooShort) {
    controller->toggleDictation();
    // 0.29 s as one block of 4640 samples, 0.3 s as 4800.
    audio.currentEngine()->deliver(static_cast<std::uint32_t>(GetParam().seconds * 16000), 0.1f);
    queue.runUntilIdle();
    controller->toggleDictation();
    EXPECT_EQ(uploads(), GetParam().sent ? 1u : 0u);
    if (!GetParam().sent) {
        EXPECT_EQ(appState.state.get(), SkribState::idle);
        EXPECT_EQ(indicator.calls.back(), "error Too short");
        EXPECT_EQ(sounds.played.back(), "Basso");
    } else {
        EXPECT_EQ(appState.state.get(), SkribState::processing);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordingLength,
                         ::testing::Values(LengthCase{0.29, false}, LengthCase{0.3, true},
                                           LengthCase{0.0, false}));

TEST_F(Controller, ToggleDoesNothingWhileProcessingOrAfterAFailedStart) {
    controller->toggleDictation();
    record(1.0);
    controller->toggleDictation();
    sounds.played.clear();
    controller->toggleDictation();
    EXPECT_EQ(appState.state.get(), SkribState::processing);
    EXPECT_THAT(sounds.played, IsEmpty());
    EXPECT_EQ(uploads(), 1u);
}

TEST_F(Controller, AMicrophoneThatFailsLeavesTheErrorStateUntilCancelled) {
    audio.startError = "Connection refused";
    controller->toggleDictation();
    EXPECT_EQ(appState.state.get(), SkribState::error);
    EXPECT_FALSE(appState.isDictating.get());
    EXPECT_TRUE(log.contains("❌ Failed to start audio capture"));
    EXPECT_THAT(indicator.calls, ElementsAre("show", "hide", "max 3600"));
    controller->toggleDictation();
    EXPECT_EQ(appState.state.get(), SkribState::error) << "only a cancel leaves it";
    EXPECT_TRUE(keyboard.escapeGrabbed) << "Escape stays live";
    keyboard.send(KeyEvent::Type::keyDown, keyCodes::escape);
    queue.runUntilIdle();
    EXPECT_EQ(appState.state.get(), SkribState::idle);
    EXPECT_TRUE(log.contains("🎙 Dictation cancelled"));
}

TEST_F(Controller, AnAnswerAfterACancelIsDropped) {
    controller->toggleDictation();
    record(1.0);
    controller->toggleDictation();
    const auto upload = lastUpload();
    controller->cancelDictation();
    EXPECT_EQ(appState.state.get(), SkribState::idle);
    sounds.played.clear();
    answer(upload, R"({"refined":"late"})");
    queue.advance(1);
    EXPECT_EQ(desktop.clipboard, "");
    EXPECT_THAT(sounds.played, IsEmpty());
    EXPECT_THAT(transcripts, IsEmpty());
}

TEST_F(Controller, ANewerRecordingSupersedesTheFirstAnswer) {
    controller->toggleDictation();
    record(1.0);
    controller->toggleDictation();
    const auto first = lastUpload();
    controller->cancelDictation();
    controller->toggleDictation();
    record(1.0);
    controller->toggleDictation();
    const auto second = lastUpload();
    answer(first, R"({"refined":"first"})");
    answer(second, R"({"refined":"second"})");
    queue.advance(1);
    EXPECT_THAT(transcripts, ElementsAre("second"));
}

TEST_F(Controller, AnErrorAnswerShowsTheMessageAndReturnsToIdleAfterTwoAndAHalfSeconds) {
    controller->toggleDictation();
    record(1.0);
    controller->toggleDictation();
    answer(lastUpload(), R"({"error":"processing failed"})", 500);
    EXPECT_EQ(indicator.calls.back(), "error Processing failed — try again");
    EXPECT_EQ(sounds.played.back(), "Basso");
    queue.advance(2.4);
    EXPECT_EQ(appState.state.get(), SkribState::processing);
    controller->toggleDictation();
    EXPECT_EQ(appState.state.get(), SkribState::processing) << "no new dictation meanwhile";
    queue.advance(0.1);
    EXPECT_EQ(appState.state.get(), SkribState::idle);
}

TEST_F(Controller, AnOldErrorTimerDoesNotTouchANewDictation) {
    controller->toggleDictation();
    record(1.0);
    controller->toggleDictation();
    answer(lastUpload(), "", 503);
    controller->cancelDictation();
    controller->toggleDictation();
    EXPECT_EQ(appState.state.get(), SkribState::listening);
    queue.advance(3);
    EXPECT_EQ(appState.state.get(), SkribState::listening);
}

TEST_F(Controller, TheDailyLimitRaisesAnAlertThenReturnsToIdle) {
    controller->toggleDictation();
    record(1.0);
    controller->toggleDictation();
    answer(lastUpload(), "{}", 429);
    EXPECT_THAT(alerts.titles(),
                ElementsAre("Daily limit reached: You've used all your transcriptions for today. "
                            "The limit resets at midnight UTC."));
    EXPECT_EQ(appState.state.get(), SkribState::idle);
}

TEST_F(Controller, RawTextIsPastedWhenThereIsNoRefinedText) {
    controller->toggleDictation();
    record(1.0);
    controller->toggleDictation();
    answer(lastUpload(), R"({"raw":"just raw"})");
    queue.advance(1);
    EXPECT_EQ(desktop.clipboard, "just raw");
}

TEST_F(Controller, SoundsCanBeSwitchedOff) {
    controller->setSoundFeedback(false);
    controller->toggleDictation();
    controller->toggleDictation();
    controller->cancelDictation();
    EXPECT_THAT(sounds.played, IsEmpty());
}

TEST_F(Controller, TheLengthLimitStopsAndSendsTheRecording) {
    controller->toggleDictation();
    record(1.0);
    queue.advance(3600);
    EXPECT_TRUE(log.contains("⏱ Max duration (3600s) reached — auto-stopping"));
    EXPECT_EQ(uploads(), 1u);
    EXPECT_EQ(appState.state.get(), SkribState::processing);
}

TEST_F(Controller, HoldPressedWhileProcessingIsRefusedAndTheEarlierAnswerStillPastes) {
    defaults.set("hotkeyHoldMode", true);
    controller->toggleDictation();
    record(1.0);
    controller->toggleDictation();
    const auto upload = lastUpload();
    sounds.played.clear();
    keyboard.send(KeyEvent::Type::flagsChanged, keyCodes::rightControl, keyFlags::control);
    queue.advance(0.5);
    EXPECT_EQ(appState.state.get(), SkribState::processing);
    keyboard.send(KeyEvent::Type::flagsChanged, keyCodes::rightControl, 0);
    queue.runUntilIdle();
    EXPECT_THAT(sounds.played, ElementsAre("Blow", "Glass"));
    EXPECT_EQ(appState.state.get(), SkribState::idle);
    answer(upload, R"({"refined":"still pasted"})");
    queue.advance(1);
    EXPECT_EQ(desktop.clipboard, "still pasted");
}

TEST_F(Controller, CaptureLostWhileListeningForcesAStop) {
    controller->toggleDictation();
    record(1.0);
    capture->onCapturePermanentlyFailed();
    EXPECT_TRUE(log.contains("❌ Audio capture permanently failed — force-stopping dictation"));
    EXPECT_EQ(uploads(), 1u);
}

TEST_F(Controller, AChosenHotkeyReachesTheWatcher) {
    center.post(notifications::hotkeyChanged, HotkeyOption(HotkeyOption::Case::leftOption));
    center.post(notifications::hotkeyChanged, std::string("not an option"));
    queue.runUntilIdle();
    EXPECT_EQ(hotkey.option(), HotkeyOption(HotkeyOption::Case::leftOption));
}

} // namespace
} // namespace skrib::testing
