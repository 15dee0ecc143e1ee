#pragma once

#include "app/SingleInstance.h"
#include "dictation/DictationController.h"
#include "platform/Subscription.h"
#include "state/AppState.h"

#include <memory>

#include <QObject>

class QSystemTrayIcon;
class QMenu;
class QWidget;

namespace skrib {

class AudioCaptureManager;
class Autostart;
class AudioConverterFactory;
class AudioEncoderFactory;
class AudioSystem;
class Defaults;
class DictationIndicator;
class GlobalHotkey;
class CurlHttpClient;
class KeyboardHook;
class Desktop;
class OverlayWindows;
class QtScheduler;
class SecretStore;
class TextInserter;
class AlertPresenter;
class ProcessRunner;
class MainWindowController;
class OnboardingWindow;

/// Owns every long-lived component of the running program, wires them when launching completes
/// and runs the tray dot. The dictation itself is DictationController.
class AppDelegate final : public QObject {
public:
    AppDelegate(QtScheduler& mainQueue, Defaults& defaults, CurlHttpClient& http,
                std::string serviceURL, SingleInstance& instance);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    /// The program was started again while running: show the main window.
    bool applicationShouldHandleReopen();
    void applicationWillTerminate();

    /// The main window, or null before it was first opened.
    MainWindowController* windowController() const { return windowController_.get(); }

private:
    void setupMainMenu(QWidget* window);
    void setupMenuBar();
    void openMainWindow();
    void setupAudio();
    void setupDictation();
    void bindState();
    void updateMenuBarIcon(SkribState state);
    void showContextMenu();
    void toggleRecording();

    QtScheduler& mainQueue_;
    Defaults& defaults_;
    CurlHttpClient& http_;
    std::string serviceURL_;
    SingleInstance& instance_;
    AppState& appState_ = AppState::shared();

    std::unique_ptr<SecretStore> secrets_;
    std::unique_ptr<Autostart> autostart_;
    std::unique_ptr<AudioSystem> audioSystem_;
    std::unique_ptr<AudioConverterFactory> converters_;
    std::unique_ptr<AudioEncoderFactory> audioEncoders_;
    std::unique_ptr<AudioCaptureManager> audioCapture_;
    std::unique_ptr<KeyboardHook> keyboard_;
    std::unique_ptr<Desktop> desktop_;
    std::unique_ptr<OverlayWindows> overlays_;
    std::unique_ptr<GlobalHotkey> globalHotkey_;
    std::unique_ptr<TextInserter> textInserter_;
    std::unique_ptr<DictationIndicator> dictationIndicator_;
    std::unique_ptr<IndicatorView> indicatorView_;
    std::unique_ptr<SoundPlayer> sounds_;
    std::unique_ptr<AlertPresenter> alerts_;
    std::unique_ptr<ProcessRunner> processes_;
    std::unique_ptr<KeptDictationStore> keptStore_;
    std::unique_ptr<KeptDictations> keptDictations_;
    std::unique_ptr<DictationController> controller_;
    std::unique_ptr<MainWindowController> windowController_;
    std::unique_ptr<OnboardingWindow> onboarding_;
    QSystemTrayIcon* statusItem_ = nullptr;
    std::vector<Subscription> cancellables_;
};

} // namespace skrib
