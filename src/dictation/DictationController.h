#pragma once

#include "audio/AudioCaptureManager.h"
#include "audio/DictationSession.h"
#include "dictation/KeptDictations.h"
#include "input/GlobalHotkey.h"
#include "input/TextInserter.h"
#include "platform/Alerts.h"
#include "platform/Defaults.h"
#include "platform/Desktop.h"
#include "platform/NotificationCenter.h"
#include "platform/Scheduler.h"
#include "platform/SoundPlayer.h"
#include "service/RefineClient.h"
#include "state/AppState.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace skrib {

/// What the controller needs of the floating capsule.
class IndicatorView {
public:
    virtual ~IndicatorView() = default;
    virtual void showIndicator() = 0;
    virtual void hideIndicator() = 0;
    virtual void showProcessing() = 0;
    /// Shows the text and takes the capsule away by itself.
    virtual void showError(const std::string& message) = 0;
    virtual void pushLevel(float level) = 0;
    virtual void setMaxDuration(double seconds) = 0;
};

/// Runs one dictation from the hotkey to the paste: starts and stops capture, has the audio
/// compressed while it is recorded, sends it, pastes the answer, and keeps late or superseded
/// answers out with a generation counter. The only writer of the application status. Main
/// thread, except the audio block handler and the finishing of the upload (on the encoder's
/// thread, so that a stop costs the main thread as little for an hour as for a second).
class DictationController {
public:
    static constexpr double maxDictationSeconds = 3600.0;

    struct Components {
        AppState& appState;
        Scheduler& mainQueue;
        Defaults& defaults;
        NotificationCenter& notificationCenter;
        AudioCaptureManager& audioCapture;
        /// Compresses each dictation while it is recorded.
        AudioEncoderFactory& audioEncoders;
        GlobalHotkey& globalHotkey;
        TextInserter& textInserter;
        IndicatorView& dictationIndicator;
        Desktop& desktop;
        SoundPlayer& sounds;
        AlertPresenter& alerts;
        /// The service client (it may be created on first use).
        std::function<RefineClient*()> refineClient;
        /// Receives each pasted text for the history shown in the main window.
        std::function<void(const std::string&)> pushTranscript;
        /// Keeps each upload's audio until its text has arrived; none keeps nothing.
        KeptDictations* keptDictations = nullptr;
    };

    explicit DictationController(Components components);
    /// Stops capture and lets go of the capture manager's handlers.
    ~DictationController();
    DictationController(const DictationController&) = delete;
    DictationController& operator=(const DictationController&) = delete;

    /// Wires the capture callbacks (capture manager), and the hotkey (watcher, notifications)
    /// with the tray's start and stop items.
    void setupAudio();
    void setupDictation();

    void toggleDictation();
    void startDictation();
    void stopDictation();
    void cancelDictation();

    /// Sound feedback ("soundFeedback"); on until switched off.
    bool soundFeedback() const;
    void setSoundFeedback(bool enabled);
    void playSound(const std::string& name);
    void showAlert(const std::string& title, const std::string& message);

    std::uint64_t dictationGeneration() const { return dictationGeneration_; }
    std::shared_ptr<DictationSession> currentSession() const { return currentSession_.load(); }
    /// Stops the hotkey, the length limit and capture, and waits for (or calls off) the
    /// finishing of any upload (program end).
    void shutDown();

private:
    void handleCaptureStarted(bool success);
    void handleResult(std::uint64_t generation, ProcessResult result,
                      std::chrono::system_clock::time_point keyReleaseAt,
                      const std::string& keptId);
    void handleBuffer(const AudioBuffer16k& block);
    /// The audio kept for an upload the user called off goes.
    void letGoOfUpload(std::uint64_t generation);

    Components c_;
    std::atomic<std::shared_ptr<DictationSession>> currentSession_;
    std::uint64_t dictationGeneration_ = 0;
    // Stopped dictations whose upload is being finished, by generation, until it is handed on.
    std::map<std::uint64_t, std::shared_ptr<DictationSession>> finishing_;
    // Uploads under way, by generation: the id their audio is kept under.
    std::map<std::uint64_t, std::string> liveUploads_;
    std::shared_ptr<WorkItem> maxDurationTimer_;
    std::optional<TargetApplication> dictationTargetApp_;
    Subscription hotkeyObserver_;
    std::array<Subscription, 2> trayObservers_; // start, stop
    std::shared_ptr<DictationController*> self_ = std::make_shared<DictationController*>(this);
};

} // namespace skrib
