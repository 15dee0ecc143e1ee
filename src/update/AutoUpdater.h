#pragma once

#include "platform/Alerts.h"
#include "platform/HttpClient.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"
#include "platform/Subscription.h"
#include "state/AppState.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace skrib {

/// The progress panel of an update.
class UpdateProgressView {
public:
    virtual ~UpdateProgressView() = default;
    virtual void show() = 0;
    virtual void updateStatus(const std::string& text) = 0;
    virtual void close() = 0;
    /// Called when the user dismisses the panel (Escape).
    std::function<void()> onCancel;
};

/// Finds, offers, downloads and installs new versions. The service decides whether an update
/// exists; an update image is a gzip-compressed tar archive holding one "*.app" folder.
class AutoUpdater {
public:
    struct Paths {
        std::string imageCopy = "/tmp/VantuSkrib-update.tar.gz";
        std::string mountPoint = "/tmp/VantuSkrib-Update";
        std::string tool = "/usr/bin/tar";
        std::string installFolder = "/opt/"; // + bundle name
        std::string fallbackInstallFolder;   // home + "/Applications/"
    };

    struct Environment {
        std::string baseURL;
        std::string currentVersion; // empty: "0.0.0"
        std::string websiteDomain;  // shown when an image cannot be opened
        HttpClient& http;
        Scheduler& mainQueue;
        AppState& appState;
        AlertPresenter& alerts;
        ProcessRunner& processes;
        Paths paths;
        std::function<std::unique_ptr<UpdateProgressView>(const std::string& version)>
            makeProgressView;
        /// Runs work off the main thread (the installation).
        std::function<void(std::function<void()>)> runInBackground;
        /// Ends the program the normal way.
        std::function<void()> terminate;
        /// Where "[update]" lines go (standard output by default).
        std::function<void(const std::string&)> print;
    };

    static constexpr double checkInterval = 3600.0;
    static constexpr double firstCheckDelay = 5.0;

    explicit AutoUpdater(Environment environment);
    ~AutoUpdater();
    AutoUpdater(const AutoUpdater&) = delete;
    AutoUpdater& operator=(const AutoUpdater&) = delete;

    /// The process-wide updater, once the program has installed one.
    static AutoUpdater* shared();
    static void setShared(std::unique_ptr<AutoUpdater> updater);

    const std::string& currentVersion() const { return currentVersion_; }
    bool isUpdating() const { return isUpdating_; }

    void startPeriodicChecks();
    void checkForUpdate(bool silent);
    void showUpdateAlert(const std::string& version, const std::string& downloadURL);
    void downloadAndInstall(const std::string& url, const std::string& version);
    void cancelCurrentUpdate();

    /// Installs a downloaded image (the file is taken over): unpacked and copied on a
    /// background thread, the outcome shown on the main thread.
    void installUpdate(const std::string& download);

    /// Stops the checks and waits for an installation under way to end (at quit, before the
    /// objects it was given go).
    void shutDown();

private:
    void foundUpdate(bool silent, const std::string& version, const std::string& url);
    void observeIdleForUpdate();
    void showError(const std::string& message);
    void relaunch(const std::string& appPath);
    void finishOnMain();
    void onMain(std::function<void(AutoUpdater&)> work);
    /// Runs `work` on the main queue if the updater still exists there; callable on any thread.
    static void onMain(Scheduler& mainQueue, std::weak_ptr<AutoUpdater*> weak,
                       std::function<void(AutoUpdater&)> work);

    std::string baseURL_;
    std::string currentVersion_;
    std::string websiteDomain_;
    HttpClient& http_;
    Scheduler& mainQueue_;
    AppState& appState_;
    AlertPresenter& alerts_;
    ProcessRunner& processes_;
    Paths paths_;
    std::function<std::unique_ptr<UpdateProgressView>(const std::string&)> makeProgressView_;
    std::function<void(std::function<void()>)> runInBackground_;
    std::function<void()> terminate_;
    std::function<void(const std::string&)> print_;

    std::shared_ptr<WorkItem> timer_;
    std::optional<std::pair<std::string, std::string>> pendingUpdate_;
    std::optional<Subscription> idleObserver_;
    bool isUpdating_ = false;
    std::unique_ptr<UpdateProgressView> currentProgressWindow_;
    std::vector<std::thread> workers_; // main thread only
    std::shared_ptr<AutoUpdater*> self_ = std::make_shared<AutoUpdater*>(this);
};

} // namespace skrib
