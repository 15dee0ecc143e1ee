#include "dictation/DictationController.h"

#include "log/DebugLog.h"
#include "platform/TextFormat.h"
#include "state/Notifications.h"

#include <any>
#include <chrono>
#include <cstdio>

namespace skrib {

using Clock = std::chrono::system_clock;

namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// On the encoder's thread, once it has finished: the M4A when it was made and is smaller than
// the WAV, else the WAV.
AudioPayload uploadPayload(DictationSession& session, std::optional<std::string> m4a,
                           const std::string& error, double waitMs) {
    if (!m4a && !error.empty()) {
        debugLog("⚠️ Audio compression failed, falling back to WAV: " + error);
    }
    const std::size_t wavBytes = session.wavSize();
    const double duration = session.durationSeconds();
    AudioPayload payload;
    const auto wavStart = std::chrono::steady_clock::now();
    double wavMs = 0;
    if (m4a && !m4a->empty() && m4a->size() < wavBytes) {
        payload = {std::move(*m4a), true, duration};
    } else {
        payload = {session.getWAVData(), false, duration};
        wavMs = millisecondsSince(wavStart);
    }
    char line[160];
    std::snprintf(line, sizeof line, "🎙 Sending %zu bytes (%.1fs) | wav-encode=%.0fms", wavBytes,
                  duration, wavMs);
    debugLog(line);
    if (payload.m4a) {
        std::snprintf(line, sizeof line, "🗜 Compressed %.0fKB→%.0fKB (%.1fx) in %.0fms",
                      static_cast<double>(wavBytes) / 1024.0,
                      static_cast<double>(payload.bytes.size()) / 1024.0,
                      static_cast<double>(wavBytes) / static_cast<double>(payload.bytes.size()),
                      waitMs);
        debugLog(line);
    }
    return payload;
}

} // namespace

DictationController::DictationController(Components components)
    : c_(std::move(components)) {}

DictationController::~DictationController() {
    // Capture first: once it stops, the capture thread no longer calls the handler replaced here.
    c_.audioCapture.stopCapture();
    c_.audioCapture.onAudioBuffer = nullptr;
    c_.audioCapture.onCaptureStarted = nullptr;
    c_.audioCapture.onCapturePermanentlyFailed = nullptr;
    if (maxDurationTimer_) {
        maxDurationTimer_->cancel();
    }
}

// MARK: - Wiring

void DictationController::setupAudio() {
    std::weak_ptr<DictationController*> weak = self_;
    c_.audioCapture.onAudioBuffer = [weak](const AudioBuffer16k& block) {
        if (auto self = weak.lock()) {
            (*self)->handleBuffer(block);
        }
    };
    c_.audioCapture.onCapturePermanentlyFailed = [weak] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        DictationController& d = **self;
        if (d.c_.appState.state.get() != SkribState::listening) {
            return;
        }
        debugLog("❌ Audio capture permanently failed — force-stopping dictation");
        d.playSound("Basso");
        d.stopDictation();
    };
}

void DictationController::setupDictation() {
    std::weak_ptr<DictationController*> weak = self_;
    auto with = [weak](std::function<void(DictationController&)> action) {
        return [weak, action] {
            if (auto self = weak.lock()) {
                action(**self);
            }
        };
    };
    GlobalHotkey& hotkey = c_.globalHotkey;
    hotkey.onToggle = with([](DictationController& d) { d.toggleDictation(); });
    hotkey.onCancel = with([](DictationController& d) { d.cancelDictation(); });
    hotkey.onHoldStart = with([](DictationController& d) {
        d.playSound("Blow");
        d.startDictation();
    });
    hotkey.onHoldEnd = with([](DictationController& d) {
        d.playSound("Glass");
        d.stopDictation();
    });
    hotkey.start();
    // The tray's items act as the hotkey's press does, sounds included; an item chosen for a
    // state that has passed by the time it arrives does nothing.
    const auto pressFrom = [weak](SkribState from) {
        return [weak, from](const Notification&) {
            auto self = weak.lock();
            if (self && (*self)->c_.appState.state.get() == from) {
                (*self)->toggleDictation();
            }
        };
    };
    trayObservers_[0] = c_.notificationCenter.addObserver(
        notifications::startDictation, &c_.mainQueue, pressFrom(SkribState::idle));
    trayObservers_[1] = c_.notificationCenter.addObserver(
        notifications::stopDictation, &c_.mainQueue, pressFrom(SkribState::listening));
    hotkeyObserver_ = c_.notificationCenter.addObserver(
        notifications::hotkeyChanged, &c_.mainQueue, [weak](const Notification& n) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (const auto* option = std::any_cast<HotkeyOption>(&n.object)) {
                (*self)->c_.globalHotkey.updateOption(*option);
            }
        });
}

// MARK: - Dictation

bool DictationController::soundFeedback() const {
    return c_.defaults.boolValue("soundFeedback").value_or(true);
}

void DictationController::setSoundFeedback(bool enabled) {
    c_.defaults.set("soundFeedback", DefaultsValue(enabled));
}

void DictationController::playSound(const std::string& name) {
    if (soundFeedback()) {
        c_.sounds.play(name);
    }
}

void DictationController::showAlert(const std::string& title, const std::string& message) {
    c_.alerts.runModal({Alert::Style::informational, title, message, {"OK"}});
}

void DictationController::toggleDictation() {
    switch (c_.appState.state.get()) {
    case SkribState::listening:
        playSound("Glass");
        stopDictation();
        break;
    case SkribState::idle:
        playSound("Blow");
        startDictation();
        break;
    default:
        break; // processing or error: nothing at all
    }
}

void DictationController::startDictation() {
    if (c_.appState.state.get() != SkribState::idle) {
        return;
    }
    dictationTargetApp_ = c_.desktop.frontmostApplication();
    // "unknown": some window has the focus, but the desktop does not say which (Wayland).
    debugLog("🎯 Target app for paste: " + (!dictationTargetApp_            ? std::string("none")
                                            : dictationTargetApp_->name.empty() ? std::string("unknown")
                                                                                : dictationTargetApp_->name));
    currentSession_.store(std::make_shared<DictationSession>(
        c_.audioEncoders.start(static_cast<int>(DictationSession::sampleRate))));
    c_.appState.isDictating.set(true);
    c_.globalHotkey.setIsDictating(true);
    if (RefineClient* client = c_.refineClient()) {
        client->warmConnection();
    }
    c_.dictationIndicator.showIndicator();
    c_.appState.state.set(SkribState::listening);

    std::weak_ptr<DictationController*> weak = self_;
    c_.audioCapture.onCaptureStarted = [weak](bool success) {
        if (auto self = weak.lock()) {
            (*self)->handleCaptureStarted(success);
        }
    };
    c_.audioCapture.startCapture();

    if (maxDurationTimer_) {
        maxDurationTimer_->cancel();
    }
    maxDurationTimer_ = c_.mainQueue.postAfter(maxDictationSeconds, [weak] {
        auto self = weak.lock();
        if (!self || (*self)->c_.appState.state.get() != SkribState::listening) {
            return;
        }
        debugLog("⏱ Max duration (" + std::to_string(static_cast<long long>(maxDictationSeconds)) +
                 "s) reached — auto-stopping");
        (*self)->playSound("Glass");
        (*self)->stopDictation();
    });
    c_.dictationIndicator.setMaxDuration(maxDictationSeconds);
}

void DictationController::handleCaptureStarted(bool success) {
    c_.audioCapture.onCaptureStarted = nullptr; // one-shot
    if (success) {
        debugLog("🎙 Dictation started");
        return;
    }
    // The length limit stays scheduled and Escape stays live: a cancel returns to idle.
    c_.appState.isDictating.set(false);
    c_.dictationIndicator.hideIndicator();
    currentSession_.store(nullptr);
    c_.appState.state.set(SkribState::error);
    debugLog("❌ Failed to start audio capture");
}

void DictationController::stopDictation() {
    const auto keyReleaseAt = Clock::now();
    if (maxDurationTimer_) {
        maxDurationTimer_->cancel();
        maxDurationTimer_.reset();
    }
    const std::shared_ptr<DictationSession> session = currentSession_.load();
    c_.audioCapture.stopCapture();
    c_.appState.isDictating.set(false);
    c_.globalHotkey.setIsDictating(false);
    currentSession_.store(nullptr);

    if (!session) {
        c_.appState.state.set(SkribState::idle);
        c_.dictationIndicator.hideIndicator();
        return;
    }
    const double duration = session->durationSeconds();
    if (duration < 0.3) {
        playSound("Basso");
        c_.appState.state.set(SkribState::idle);
        c_.dictationIndicator.showError("Too short");
        return;
    }
    c_.appState.state.set(SkribState::processing);
    c_.dictationIndicator.showProcessing();

    const std::uint64_t generation = ++dictationGeneration_;
    finishing_.emplace(generation, session);

    RefineClient* client = c_.refineClient();
    // What applied to this dictation, kept with its audio in case the upload fails.
    KeptDictation facts;
    facts.recordedAt = keyReleaseAt;
    facts.style = c_.defaults.stringValue("stylePreset").value_or("");
    facts.targetApp = dictationTargetApp_ ? dictationTargetApp_->name : std::string();
    std::weak_ptr<DictationController*> weak = self_;
    Scheduler* queue = &c_.mainQueue;
    KeptDictations* kept = c_.keptDictations;
    // The file is finished and the body built on the encoder's thread, which keeps the audio
    // and hands the upload on; the session stays here until then.
    const auto finishStart = std::chrono::steady_clock::now();
    session->finishEncoding([weak, queue, generation, keyReleaseAt, finishStart, client, kept,
                             facts = std::move(facts), session = session.get()](
                                std::optional<std::string> m4a, std::string error) mutable {
        AudioPayload payload =
            uploadPayload(*session, std::move(m4a), error, millisecondsSince(finishStart));
        // The vocabulary is read once: sent now, and kept with the audio for a retry.
        const std::optional<std::string> vocab =
            client != nullptr ? client->loadVocab() : std::nullopt;
        std::string keptId;
        if (kept != nullptr) {
            facts.vocab = vocab;
            keptId = kept->keepAhead(payload, std::move(facts));
        }
        auto completion = [weak, queue, generation, keyReleaseAt, keptId](ProcessResult result) {
            queue->post([weak, generation, keyReleaseAt, keptId, result = std::move(result)] {
                if (auto self = weak.lock()) {
                    (*self)->handleResult(generation, result, keyReleaseAt, keptId);
                }
            });
        };
        if (client == nullptr) {
            completion(ProcessResult::error("Something went wrong — try again"));
        } else {
            client->upload(std::move(payload), vocab, "dictation", keyReleaseAt, completion);
        }
        session->discardSamples(); // once the request is on its way
        queue->post([weak, generation, keptId] {
            if (auto self = weak.lock()) {
                (*self)->finishing_.erase(generation);
                (*self)->liveUploads_[generation] = keptId;
                if (generation != (*self)->dictationGeneration_) {
                    (*self)->letGoOfUpload(generation); // cancelled while it was being made
                }
            }
        });
    });
}

void DictationController::handleResult(std::uint64_t generation, ProcessResult result,
                                       Clock::time_point keyReleaseAt,
                                       const std::string& keptId) {
    liveUploads_.erase(generation);
    const auto finished = [&](bool wanted) {
        if (c_.keptDictations != nullptr && !keptId.empty()) {
            c_.keptDictations->liveFinished(keptId, result, wanted);
        }
    };
    if (generation != dictationGeneration_) {
        finished(false);
        return; // superseded or cancelled: no sound, no paste, no state change
    }
    switch (result.kind) {
    case ProcessResult::Kind::success: {
        const std::string text = result.refined ? *result.refined : result.raw.value_or("");
        if (!text.empty()) {
            const auto now = Clock::now();
            debugLog("📋 Inserting: " + utf8Prefix(text, 60) + "...");
            c_.textInserter.insert(text, dictationTargetApp_);
            char line[96];
            std::snprintf(line, sizeof line, "⏱ LATENCY key-release→paste=%.0fms",
                          std::chrono::duration<double, std::milli>(now - keyReleaseAt).count());
            debugLog(line);
            if (c_.pushTranscript) {
                c_.pushTranscript(text);
            }
        }
        finished(true); // the text is in the history: its audio can go
        c_.appState.state.set(SkribState::idle);
        c_.dictationIndicator.hideIndicator();
        break;
    }
    case ProcessResult::Kind::rateLimited:
        finished(true); // kept before the user is told
        showAlert(
            "Daily limit reached",
            "You've used all your transcriptions for today. The limit resets at midnight UTC.");
        c_.appState.state.set(SkribState::idle);
        c_.dictationIndicator.hideIndicator();
        break;
    case ProcessResult::Kind::error: {
        finished(true);
        playSound("Basso");
        c_.dictationIndicator.showError(result.message);
        std::weak_ptr<DictationController*> weak = self_;
        c_.mainQueue.postAfter(2.5, [weak, generation] {
            auto self = weak.lock();
            if (self && generation == (*self)->dictationGeneration_ &&
                (*self)->c_.appState.state.get() != SkribState::listening) {
                (*self)->c_.appState.state.set(SkribState::idle);
            }
        });
        break;
    }
    }
}

void DictationController::cancelDictation() {
    const SkribState state = c_.appState.state.get();
    if (state == SkribState::idle) {
        return;
    }
    if (state == SkribState::processing) {
        letGoOfUpload(dictationGeneration_); // not kept: the user called it off
        ++dictationGeneration_;
    }
    if (maxDurationTimer_) {
        maxDurationTimer_->cancel();
        maxDurationTimer_.reset();
    }
    playSound("Basso");
    c_.audioCapture.stopCapture();
    c_.appState.isDictating.set(false);
    c_.globalHotkey.setIsDictating(false);
    c_.dictationIndicator.hideIndicator();
    currentSession_.store(nullptr);
    c_.appState.state.set(SkribState::idle);
    debugLog("🎙 Dictation cancelled");
}

void DictationController::letGoOfUpload(std::uint64_t generation) {
    const auto it = liveUploads_.find(generation);
    if (it == liveUploads_.end()) {
        return;
    }
    if (c_.keptDictations != nullptr && !it->second.empty()) {
        c_.keptDictations->liveFinished(it->second, ProcessResult::error("Cancelled"), false);
    }
    liveUploads_.erase(it);
}

// Capture thread: append here, show the level on the main queue.
void DictationController::handleBuffer(const AudioBuffer16k& block) {
    if (const auto session = currentSession_.load()) {
        session->appendSamples(block.samples());
    }
    std::weak_ptr<DictationController*> weak = self_;
    const float level = block.rmsLevel();
    c_.mainQueue.post([weak, level] {
        auto self = weak.lock();
        if (self && (*self)->c_.appState.isDictating.get()) {
            (*self)->c_.dictationIndicator.pushLevel(level);
        }
    });
}

void DictationController::shutDown() {
    c_.globalHotkey.stop();
    if (maxDurationTimer_) {
        maxDurationTimer_->cancel();
        maxDurationTimer_.reset();
    }
    c_.audioCapture.stopCapture();
    finishing_.clear();
}

} // namespace skrib
