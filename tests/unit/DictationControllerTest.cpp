#include "dictation/DictationController.h"

#include "FakeAudio.h"
#include "FakeHttp.h"
#include "FakeInput.h"
#include "FakeScheduler.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "state/Notifications.h"

#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;

/// Everything the user could see or hear, in order, in one line: sounds (♪), capsule calls,
/// status changes ([…]), requests, pasted texts (»…«) and alerts.
struct Journal : IndicatorView, SoundPlayer, AlertPresenter {
    std::string line;
    void note(const std::string& e) { line += (line.empty() ? "" : " ") + e; }
    void showIndicator() override { note("show"); }
    void hideIndicator() override { note("hide"); }
    void showProcessing() override { note("processing"); }
    void showError(const std::string& m) override { note("error:" + m); }
    void pushLevel(float) override { note("level"); }
    void setMaxDuration(double s) override { note("max" + std::to_string(int(s))); }
    void play(const std::string& name) override { note("♪" + name); }
    int runModal(const Alert& alert) override { return note("alert:" + alert.title), 0; }
};

struct Case {
    const char* name;
    std::vector<std::string> steps;
    std::string journal; // after the last "mark"
    std::size_t kept = 0; // uploads kept at the end: failed, or still awaiting their answer
};

class Controller : public ::testing::Test {
protected:
    Controller() {
        audio.format = {16000, 1, SampleType::float32, true};
        audio.deviceList = {{1, "USB Microphone", true, false}};
        audio.defaultDevice = 1;
        desktop.frontmost = TargetApplication{77, 4242, "Editor"};
        client = std::make_unique<RefineClient>(RefineClient::Environment{
            http, secrets, defaults, "http://127.0.0.1:8787", home.string(), "pc", "6.1.0"});
        capture = std::make_unique<AudioCaptureManager>(audio, converters, queue, appState, center);
        controller = std::make_unique<DictationController>(DictationController::Components{
            appState, queue, defaults, center, *capture, encoders, hotkey, inserter, journal,
            desktop, journal, journal, [this] { return client.get(); },
            [this](const std::string& text) {
                journal.note("»" + text + "«");
                pasted = text;
            },
            &kept});
        controller->setupAudio();
        controller->setupDictation();
        status = appState.state.subscribe([this](const SkribState& s) {
            journal.note("[" + std::string(AppState::rawValue(s)) + "]");
        });
        requestsSeen = http.sent().size();
        queue.runUntilIdle();
        journal.line.clear();
    }
    ~Controller() override {
        controller.reset();
        capture.reset();
        fs::remove_all(home);
    }

    void run(const std::string& step) {
        std::istringstream in(step);
        std::string verb, body;
        double n = 0; // seconds, or the upload to answer
        int httpStatus = 0;
        in >> verb >> n;
        const auto key = [this](KeyEvent::Type type, std::uint16_t code, std::uint64_t flags) {
            return [=, this] { keyboard.send(type, code, flags); };
        };
        const std::map<std::string, std::function<void()>> verbs{
            {"toggle", [&] { controller->toggleDictation(); }},
            {"cancel", [&] { controller->cancelDictation(); }},
            {"trayStart", [&] { center.post(notifications::startDictation); }},
            {"trayStop", [&] { center.post(notifications::stopDictation); }},
            {"escape", key(KeyEvent::Type::keyDown, keyCodes::escape, 0)},
            {"press", key(KeyEvent::Type::flagsChanged, keyCodes::rightControl, keyFlags::control)},
            {"release", key(KeyEvent::Type::flagsChanged, keyCodes::rightControl, 0)},
            {"rec", [&] { auto* e = audio.currentEngine(); EXPECT_TRUE(e && e->deliver(std::lround(n * 16000), 0.2f)); }},
            {"wait", [&] { queue.advance(n); }},
            {"answer", [&] {
                std::getline(in >> httpStatus >> std::ws, body);
                http.respond(uploads.at(static_cast<std::size_t>(n)), httpStatus, body);
            }},
            {"unplug", [&] { audio.startError = "No input device", audio.changeDefaultDevice(noAudioDevice); }},
            {"hold", [&] { defaults.set("hotkeyHoldMode", true); }},
            {"micFails", [&] { audio.startError = "Connection refused"; }},
            {"quiet", [&] { controller->setSoundFeedback(false); }},
            {"file", [&] { encoders.fileSize = static_cast<std::size_t>(n); }}, // 0: fails
            {"holdFile", [&] { encoders.holdFinishes = true; }},
            {"fileDone", [&] { journal.note("done"), encoders.completeFinishes(); }},
            {"mark", [&] { journal.line.clear(); }}};
        ASSERT_TRUE(verbs.contains(verb)) << "unknown step " << step;
        verbs.at(verb)();
        queue.runUntilIdle();
        for (const auto sent = http.sent(); requestsSeen < sent.size(); ++requestsSeen) {
            const HttpRequest& r = sent[requestsSeen].request;
            const bool upload = r.url.ends_with("/process");
            const std::string file = upload ? r.body.substr(r.body.find("recording") + 9, 4) : "";
            journal.note(upload ? (uploads.push_back(requestsSeen), "upload" + file) : "warm");
        }
    }

    LogCapture log;
    std::string pattern = "/tmp/skrib-controller-XXXXXX";
    fs::path home = ::mkdtemp(pattern.data());
    FakeScheduler queue;
    AppState appState;
    NotificationCenter center;
    MemoryDefaults defaults;
    MemorySecretStore secrets;
    FakeHttpClient http;
    FakeAudioSystem audio;
    FakeAudioConverterFactory converters;
    FakeAudioEncoderFactory encoders;
    FakeKeyboardHook keyboard;
    GlobalHotkey hotkey{keyboard, queue, defaults};
    FakeDesktop desktop{queue};
    TextInserter inserter{desktop, queue, defaults};
    Journal journal;
    std::string pasted;
    Subscription status;
    std::size_t requestsSeen = 0;
    std::vector<std::size_t> uploads;
    std::unique_ptr<RefineClient> client;
    KeptDictationStore keptStore{(home / "pending").string()};
    KeptDictations kept{{keptStore, queue, appState, center, {}, {}}};
    std::unique_ptr<AudioCaptureManager> capture;
    std::unique_ptr<DictationController> controller;
};

class Dictation : public Controller, public ::testing::WithParamInterface<Case> {};

TEST_P(Dictation, RunsFromKeyToPaste) {
    for (const auto& step : GetParam().steps) {
        SCOPED_TRACE(step);
        run(step);
        const auto state = appState.state.get();
        EXPECT_EQ(keyboard.escapeGrabbed,
                  state == SkribState::listening || state == SkribState::error)
            << "Escape is taken from other programs only while it cancels something";
    }
    EXPECT_EQ(journal.line, GetParam().journal);
    queue.advance(1);
    EXPECT_EQ(desktop.clipboard, pasted);
    EXPECT_EQ(encoders.finishes, std::ssize(uploads)) << "a file only for what is sent";
    EXPECT_EQ(keptStore.list().size(), GetParam().kept) << "not what arrived or was cancelled";
}

const std::string start = "♪Blow show [listening] max3600 warm"; // then a block's "level"
const std::string sent = "♪Glass [processing] processing upload.m4a";
const std::string tooShort = "♪Glass ♪Basso [idle] error:Too short";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Dictation, ::testing::Values(
    Case{"tray", {"trayStop", "trayStart", "trayStart", "rec 0.5", "trayStop", "trayStop", "trayStart", R"(answer 0 200 {"raw":"hi","refined":"Hi."})"}, start + " level " + sent + " »Hi.« [idle] hide"},
    Case{"hold", {"hold", "press", "wait 0.2", "rec 1", "release", R"(answer 0 200 {"raw":"Hi"})"}, start + " level " + sent + " »Hi« [idle] hide"},
    Case{"tooShort", {"toggle", "rec 0.29", "mark", "toggle"}, tooShort},
    Case{"longEnough", {"toggle", "rec 0.3", "mark", "toggle"}, sent, 1},
    Case{"nothingRecorded", {"toggle", "mark", "toggle"}, tooShort},
    Case{"emptyTranscript", {"toggle", "rec 1", "toggle", "mark", R"(answer 0 200 {"raw":""})"}, "[idle] hide"},
    Case{"errorThenIdleAfterTwoAndAHalfSeconds", {"toggle", "rec 1", "toggle", "mark", R"(answer 0 500 {"error":"processing failed"})", "wait 2.4", "toggle", "wait 0.1"}, "♪Basso error:Processing failed — try again [idle]", 1},
    Case{"dailyLimit", {"toggle", "rec 1", "toggle", "mark", "answer 0 429 {}"}, "alert:Daily limit reached [idle] hide", 1},
    Case{"escape", {"toggle", "rec 1", "mark", "escape", "wait 5"}, "♪Basso hide [idle]"},
    Case{"micFailsUntilEscape", {"micFails", "toggle", "toggle", "escape"}, "♪Blow show [listening] hide [error] max3600 warm ♪Basso hide [idle]"},
    Case{"aNewerRecordingSupersedesACancelledOne", {"toggle", "rec 1", "toggle", "cancel", "toggle", "rec 1", "toggle", "mark", R"(answer 0 200 {"refined":"one"})", R"(answer 1 200 {"refined":"two"})"}, "»two« [idle] hide"},
    Case{"anOldErrorTimerLeavesANewDictationAlone", {"toggle", "rec 1", "toggle", "answer 0 503", "cancel", "toggle", "rec 1", "toggle", "mark", "wait 3"}, "", 2},
    Case{"lengthLimit", {"toggle", "rec 1", "mark", "wait 3600"}, sent, 1},
    Case{"holdWhileProcessingIsRefusedAndTheAnswerStillPastes", {"hold", "toggle", "rec 1", "toggle", "mark", "press", "wait 0.5", "release", R"(answer 0 200 {"refined":"still"})"}, "♪Blow ♪Glass [idle] hide »still« [idle] hide"},
    Case{"captureLost", {"toggle", "rec 1", "mark", "unplug", "wait 0.5"}, "♪Basso [processing] processing upload.m4a", 1},
    Case{"quiet", {"quiet", "toggle", "rec 1", "toggle", "cancel"}, "show [listening] max3600 warm level [processing] processing upload.m4a hide [idle]"},
    Case{"theWavGoesWhenCompressionFails", {"file 0", "toggle", "rec 0.3", "mark", "toggle"}, "♪Glass [processing] processing upload.wav", 1},
    Case{"theWavGoesWhenTheFileIsNotSmaller", {"file 16044", "toggle", "rec 0.5", "mark", "toggle"}, "♪Glass [processing] processing upload.wav", 1},
    Case{"theUploadWaitsForTheFileAndACancelMeanwhileDropsTheAnswer", {"holdFile", "toggle", "rec 1", "toggle", "mark", "cancel", "fileDone", R"(answer 0 200 {"refined":"late"})"}, "♪Basso hide [idle] done upload.m4a"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Controller, AChosenHotkeyReachesTheWatcher) {
    center.post(notifications::hotkeyChanged, HotkeyOption(HotkeyOption::Case::leftOption));
    center.post(notifications::hotkeyChanged, std::string("not an option"));
    queue.runUntilIdle();
    EXPECT_EQ(hotkey.option(), HotkeyOption(HotkeyOption::Case::leftOption));
}

} // namespace
} // namespace skrib::testing
