#include "app/AppDelegate.h"

#include "audio/AudioCaptureManager.h"
#include "audio/canberra/CanberraSoundPlayer.h"
#include "audio/ffmpeg/AudioCompressor.h"
#include "audio/ffmpeg/SwrAudioConverter.h"
#include "audio/pulse/PulseAudioSystem.h"
#include "dictation/KeptDictations.h"
#include "input/GlobalHotkey.h"
#include "input/TextInserter.h"
#include "log/DebugLog.h"
#include "platform/posix/Autostart.h"
#include "platform/posix/HomeDirectory.h"
#include "platform/posix/PosixProcessRunner.h"
#include "platform/qt/QtAlertPresenter.h"
#include "platform/qt/QtScheduler.h"
#include "platform/secret/LibsecretStore.h"
#include "platform/x11/X11Desktop.h"
#include "platform/x11/X11KeyTranslator.h"
#include "platform/x11/X11KeyboardHook.h"
#include "platform/x11/X11OverlayWindows.h"
#include "platform/x11/X11SentKeys.h"
#include "service/RefineClient.h"
#include "service/curl/CurlHttpClient.h"
#include "state/Notifications.h"
#include "ui/AppIcon.h"
#include "ui/BrandFonts.h"
#include "ui/ResourcesDirectory.h"
#include "ui/TrayMenu.h"
#include "ui/UpdateProgressWindow.h"
#include "ui/indicator/DictationIndicator.h"
#include "ui/settings/SettingsView.h"
#include "ui/window/MainWindow.h"
#include "ui/window/OnboardingWindow.h"
#include "update/AutoUpdater.h"

#include <filesystem>
#include <sys/utsname.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QMenu>
#include <QPainter>
#include <QStandardPaths>
#include <QSysInfo>
#include <QSystemTrayIcon>

namespace skrib {
namespace {

// The capsule as the controller sees it.
class IndicatorAdapter final : public IndicatorView {
public:
    explicit IndicatorAdapter(DictationIndicator& indicator)
        : indicator_(indicator) {}
    void showIndicator() override { indicator_.showIndicator(); }
    void hideIndicator() override { indicator_.hideIndicator(); }
    void showProcessing() override { indicator_.showProcessing(); }
    void showError(const std::string& m) override {
        indicator_.showError(QString::fromStdString(m));
    }
    void pushLevel(float level) override { indicator_.pushLevel(level); }
    void setMaxDuration(double seconds) override { indicator_.setMaxDuration(seconds); }

private:
    DictationIndicator& indicator_;
};

// "major.minor.patch" of the running kernel.
std::string osVersion() {
    utsname info{};
    if (::uname(&info) != 0) {
        return "0.0.0";
    }
    int parts[3] = {0, 0, 0};
    std::sscanf(info.release, "%d.%d.%d", &parts[0], &parts[1], &parts[2]);
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
           std::to_string(parts[2]);
}

// How long an upload may wait for the service: VANTU_SKRIB_UPLOAD_TIMEOUT seconds when set (a
// slow or far service, or a test), else two minutes.
double uploadTimeoutSeconds() {
    if (const char* value = std::getenv("VANTU_SKRIB_UPLOAD_TIMEOUT")) {
        char* end = nullptr;
        const double seconds = std::strtod(value, &end);
        if (end != value && *end == '\0' && seconds > 0 && seconds <= 3600) {
            return seconds;
        }
        debugLog(std::string("⚠️ VANTU_SKRIB_UPLOAD_TIMEOUT=") + value +
                 " is not a number of seconds up to 3600 — using 120");
    }
    return 120;
}

// The updater's processes; starting the updated program first hands the single-instance socket
// over, so the new program becomes the running one while this one quits.
class RelaunchingProcessRunner final : public ProcessRunner {
public:
    explicit RelaunchingProcessRunner(SingleInstance& instance)
        : instance_(instance) {}
    Result run(const std::string& program, const std::vector<std::string>& arguments) override {
        return runner_.run(program, arguments);
    }
    bool spawnDetached(const std::string& program,
                       const std::vector<std::string>& arguments) override {
        instance_.close();
        return runner_.spawnDetached(program, arguments);
    }

private:
    SingleInstance& instance_;
    PosixProcessRunner runner_;
};

// The installed application folder this program runs from ("<name>.app/bin/vantu-skrib" beside
// "<name>.app/AppRun"), or empty when it runs from somewhere else (a build folder, say).
std::string runningBundle() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    const auto bundle = executable.parent_path().parent_path();
    if (error || executable.parent_path().filename() != "bin" ||
        bundle.extension() != ".app" || !std::filesystem::exists(bundle / "AppRun", error)) {
        return {};
    }
    return bundle.string();
}

} // namespace

AppDelegate::AppDelegate(QtScheduler& mainQueue, Defaults& defaults, CurlHttpClient& http,
                         std::string serviceURL, SingleInstance& instance)
    : mainQueue_(mainQueue)
    , defaults_(defaults)
    , http_(http)
    , serviceURL_(std::move(serviceURL))
    , instance_(instance) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    BrandFonts::registerAll();
    QApplication::setWindowIcon(appIcon());
    instance_.listen([this] { applicationShouldHandleReopen(); });
    setupMenuBar();

    // The service client settles the device identity now, so log batches carry it.
    secrets_ = makeSecretStore(
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString());
    RefineClient::setSharedFactory([this] {
        RefineClient::Environment environment{
            http_,       *secrets_,       defaults_,
            serviceURL_, homeDirectory(), QSysInfo::machineHostName().toStdString(),
            osVersion()};
        environment.uploadTimeoutSeconds = uploadTimeoutSeconds();
        return std::make_unique<RefineClient>(std::move(environment));
    });
    RefineClient::shared();

    alerts_ = std::make_unique<QtAlertPresenter>();
    // Started at login as it was installed: the folder's launcher, else this program.
    const std::string bundle = runningBundle();
    autostart_ = std::make_unique<Autostart>(
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString(),
        bundle.empty() ? std::filesystem::read_symlink("/proc/self/exe").string()
                       : bundle + "/AppRun");
    processes_ = std::make_unique<RelaunchingProcessRunner>(instance_);
    setupAudio();
    setupDictation();
    bindState();
    openMainWindow();

    AutoUpdater::Paths paths;
    paths.staging =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation).toStdString() +
        "/VantuSkrib";
    paths.runningBundle = bundle;
    paths.fallbackInstallFolder = homeDirectory() + "/Applications/";
    AutoUpdater::setShared(std::make_unique<AutoUpdater>(AutoUpdater::Environment{
        serviceURL_,
        QApplication::applicationVersion().toStdString(),
        SKRIB_WEBSITE_DOMAIN,
        http_,
        mainQueue_,
        appState_,
        *alerts_,
        *processes_,
        paths,
        SKRIB_UPDATE_PUBLIC_KEY,
        [](const std::string& version) -> std::unique_ptr<UpdateProgressView> {
            return std::make_unique<UpdateProgressWindow>(QString::fromStdString(version));
        },
        [] { QApplication::quit(); },
        {}}));
    AutoUpdater::shared()->startPeriodicChecks();

    onboarding_ = std::make_unique<OnboardingWindow>(
        OnboardingWindow::Environment{defaults_, mainQueue_, NotificationCenter::shared()});
    onboarding_->showIfNeeded();

    debugLog("🟢 Vantu Skrib running");
}

void AppDelegate::openMainWindow() {
    if (!windowController_) {
        SettingsView::Environment settings{
            defaults_,
            mainQueue_,
            NotificationCenter::shared(),
            appState_,
            [] { return RefineClient::shared(); },
            {[this] { return globalHotkey_->holdMode(); },
             [this](bool on) { globalHotkey_->setHoldMode(on); }},
            {[this] { return textInserter_->autoEnter(); },
             [this](bool on) { textInserter_->setAutoEnter(on); }},
            {[this] { return controller_->soundFeedback(); },
             [this](bool on) { controller_->setSoundFeedback(on); }},
            {[this] { return autostart_->isEnabled(); },
             [this](bool on) { autostart_->setEnabled(on); }},
            [](std::uint32_t nativeScanCode) {
                return X11KeyTranslator::virtualKeyCode(nativeScanCode);
            },
            [this](std::uint16_t keyCode) { return keyboard_->canSee(keyCode); }};
        MainView::Environment environment{
            defaults_,
            mainQueue_,
            NotificationCenter::shared(),
            appState_,
            [] { return RefineClient::shared(); },
            [] {
                if (AutoUpdater* updater = AutoUpdater::shared()) {
                    updater->checkForUpdate(false);
                }
            },
            [](const QUrl& url) { QDesktopServices::openUrl(url); },
            QApplication::applicationVersion(),
            QStringLiteral(SKRIB_WEBSITE_URL),
            QStringLiteral(SKRIB_WEBSITE_DOMAIN),
            QStringLiteral(SKRIB_SUPPORT_EMAIL),
            [settings](QWidget* parent) { return new SettingsView(settings, parent); },
            [this] {
                return keptDictations_ ? keptDictations_->waiting() : std::vector<KeptDictation>{};
            },
            [this](const std::string& id) {
                if (keptDictations_) {
                    keptDictations_->retry(id);
                }
            }};
        windowController_ = std::make_unique<MainWindowController>(std::move(environment));
        setupMainMenu(windowController_->window());
    }
    windowController_->showAndFocus();
}

// Linux windows have no menu bar of the program's own: the quit shortcut lives on the main
// window, and the standard edit shortcuts (Ctrl+Z, Ctrl+Shift+Z, Ctrl+X/C/V, Ctrl+A) are handled
// by whichever text field has the focus.
void AppDelegate::setupMainMenu(QWidget* window) {
    auto* quit = new QAction(QStringLiteral("Quit Vantu Skrib"), window);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(quit, &QAction::triggered, [] { QApplication::quit(); });
    window->addAction(quit);
}

bool AppDelegate::applicationShouldHandleReopen() {
    debugLog("🪟 Started again — showing the main window");
    openMainWindow();
    return true;
}

void AppDelegate::setupAudio() {
    audioSystem_ = std::make_unique<PulseAudioSystem>();
    converters_ = std::make_unique<SwrAudioConverterFactory>();
    audioEncoders_ = std::make_unique<AudioCompressor>();
    audioCapture_ = std::make_unique<AudioCaptureManager>(*audioSystem_, *converters_, mainQueue_);
}

void AppDelegate::setupDictation() {
    // The keys the desktop sends for a paste are kept from the hotkey watcher.
    auto sentKeys = std::make_shared<X11SentKeys>();
    keyboard_ = std::make_unique<X11KeyboardHook>(std::string(), sentKeys);
    desktop_ = std::make_unique<X11Desktop>(std::string(), sentKeys);
    globalHotkey_ = std::make_unique<GlobalHotkey>(*keyboard_, mainQueue_, defaults_);
    textInserter_ = std::make_unique<TextInserter>(*desktop_, mainQueue_, defaults_);
    overlays_ = std::make_unique<X11OverlayWindows>();
    dictationIndicator_ = std::make_unique<DictationIndicator>(
        mainQueue_, defaults_, NotificationCenter::shared(), overlays_.get());
    indicatorView_ = std::make_unique<IndicatorAdapter>(*dictationIndicator_);
    sounds_ = std::make_unique<CanberraSoundPlayer>(resourcesDirectory().toStdString() + "/sounds");
    keptStore_ = std::make_unique<KeptDictationStore>(
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString() +
        "/VantuSkrib/pending");
    keptDictations_ = std::make_unique<KeptDictations>(KeptDictations::Environment{
        *keptStore_, mainQueue_, appState_, NotificationCenter::shared(),
        [](AudioPayload audio, std::optional<std::string> vocab,
           std::function<void(ProcessResult)> completion) {
            if (RefineClient* client = RefineClient::shared()) {
                client->processKept(std::move(audio), vocab, std::move(completion));
            } else {
                completion(ProcessResult::error("Something went wrong — try again"));
            }
        },
        [this](const std::string& text, WallClock::time_point recordedAt) {
            // Never typed into whatever window is in front by now: the history and the
            // clipboard, and a word to the user.
            if (windowController_) {
                windowController_->mainView()->pushTranscript(QString::fromStdString(text),
                                                              recordedAt);
            }
            desktop_->setClipboardText(text);
            if (statusItem_ != nullptr) {
                statusItem_->showMessage(QStringLiteral("Vantu Skrib"),
                                         QString::fromUtf8("Dictation transcribed — copied to "
                                                           "the clipboard"));
            }
        }});
    controller_ = std::make_unique<DictationController>(DictationController::Components{
        appState_, mainQueue_, defaults_, NotificationCenter::shared(), *audioCapture_,
        *audioEncoders_, *globalHotkey_, *textInserter_, *indicatorView_, *desktop_, *sounds_,
        *alerts_, [] { return RefineClient::shared(); },
        [this](const std::string& text) {
            if (windowController_) {
                windowController_->mainView()->pushTranscript(QString::fromStdString(text));
            }
        },
        keptDictations_.get()});
    controller_->setupAudio();
    controller_->setupDictation();
    keptDictations_->start();
}

void AppDelegate::setupMenuBar() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        debugLog("⚠️ No system tray on this desktop — the status dot is not shown");
    }
    statusItem_ = new QSystemTrayIcon(this);
    updateMenuBarIcon(SkribState::idle);
    QObject::connect(statusItem_, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Context) {
                             showContextMenu();
                         } else if (reason == QSystemTrayIcon::Trigger) {
                             openMainWindow();
                         }
                     });
    statusItem_->show();
}

void AppDelegate::bindState() {
    cancellables_.push_back(appState_.state.subscribe([this](const SkribState& state) {
        mainQueue_.post([this, state] { updateMenuBarIcon(state); });
    }));
}

void AppDelegate::updateMenuBarIcon(SkribState state) {
    if (statusItem_ != nullptr) {
        statusItem_->setIcon(TrayMenu::dotIcon(state));
    }
}

void AppDelegate::toggleRecording() {
    NotificationCenter::shared().post(appState_.state.get() == SkribState::listening
                                          ? notifications::stopDictation
                                          : notifications::startDictation);
}

void AppDelegate::showContextMenu() {
    QMenu menu;
    TrayMenu::fill(menu,
                   TrayMenu::items(appState_.state.get(), appState_.currentMicName.get(),
                                   QApplication::applicationVersion(),
                                   keptDictations_ ? keptDictations_->waiting().size() : 0),
                   [this](TrayMenu::Action action) {
                       switch (action) {
                       case TrayMenu::Action::toggleRecording:
                           toggleRecording();
                           break;
                       case TrayMenu::Action::retryKept:
                           if (keptDictations_) {
                               keptDictations_->retryAll();
                           }
                           break;
                       case TrayMenu::Action::openWindow:
                           openMainWindow();
                           break;
                       case TrayMenu::Action::checkForUpdates:
                           if (AutoUpdater* updater = AutoUpdater::shared()) {
                               updater->checkForUpdate(false);
                           }
                           break;
                       case TrayMenu::Action::quit:
                           QApplication::quit();
                           break;
                       case TrayMenu::Action::none:
                       case TrayMenu::Action::separator:
                           break;
                       }
                   });
    menu.exec(QCursor::pos());
}

// Everything that works on other threads is stopped, in order, before any owner is destroyed:
// no key, no audio block, no network answer and no installation reaches an object after this.
void AppDelegate::applicationWillTerminate() {
    if (controller_) {
        controller_->shutDown(); // the hotkey, the maximum-length timer, the capture
    }
    if (keptDictations_) {
        keptDictations_->shutDown(); // uploads under way stay kept for the next start
    }
    http_.shutDown(); // answers still to come are abandoned
    AutoUpdater::setShared(nullptr); // waits for an installation under way
    debugLog("🧹 Cleanup complete");
}

} // namespace skrib
