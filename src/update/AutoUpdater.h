#pragma once

#include "platform/Alerts.h"
#include "platform/HttpClient.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"
#include "platform/Subscription.h"
#include "state/AppState.h"

#include <atomic>
#include <cstdint>
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

/// A newer version the service offers: where its image is, its Ed25519 signature (base64) and
/// its size in bytes (0: not announced).
struct UpdateOffer {
    std::string version;
    std::string url;
    std::string signature;
    std::uint64_t size = 0;
};

/// Finds, offers, downloads and installs new versions. The service decides whether an update
/// exists; an update image is a gzip-compressed tar archive holding the application folder,
/// signed with the release key the program is built with. Nothing of an image is used before
/// its signature is checked; it is downloaded and unpacked in a private folder of the user's,
/// and the installed folder is swapped for the new one in one step, so that a failure or a quit
/// at any moment leaves a complete program.
class AutoUpdater {
public:
    static constexpr const char* bundleName = "VantuSkrib.app";

    struct Paths {
        /// A private folder (0700, the user's own) for downloads and unpacking; each update
        /// works in a fresh folder made inside it and removed afterwards.
        std::string staging;
        /// The installed application folder this program runs from (empty: not run from one).
        std::string runningBundle;
        std::string installFolder = "/opt/";
        std::string fallbackInstallFolder; // home + "/Applications/"
    };

    struct Environment {
        std::string baseURL;
        std::string currentVersion; // empty: "0.0.0"
        std::string websiteDomain;  // shown when an image cannot be used
        HttpClient& http;
        Scheduler& mainQueue;
        AppState& appState;
        AlertPresenter& alerts;
        ProcessRunner& processes; // starts the updated program
        Paths paths;
        /// The release key's public half: 32 bytes in base64. Empty: no update can be verified.
        std::string publicKey;
        std::function<std::unique_ptr<UpdateProgressView>(const std::string& version)>
            makeProgressView;
        /// Ends the program the normal way.
        std::function<void()> terminate;
        /// Where "[update]" lines go (standard output by default).
        std::function<void(const std::string&)> print;
    };

    static constexpr double checkInterval = 3600.0;
    static constexpr double firstCheckDelay = 5.0;
    static constexpr int maxRedirects = 5;

    explicit AutoUpdater(Environment environment);
    /// Waits for an installation under way to finish or roll back (see `shutDown`).
    ~AutoUpdater();
    AutoUpdater(const AutoUpdater&) = delete;
    AutoUpdater& operator=(const AutoUpdater&) = delete;

    /// The process-wide updater, once the program has installed one.
    static AutoUpdater* shared();
    static void setShared(std::unique_ptr<AutoUpdater> updater);

    const std::string& currentVersion() const { return currentVersion_; }
    /// From accepting an offer until the work has ended (failed, or the program restarts).
    bool isUpdating() const { return isUpdating_; }

    /// Clears what an interrupted update left behind, then checks 5 s from now and hourly.
    void startPeriodicChecks();
    void checkForUpdate(bool silent);
    void showUpdateAlert(const UpdateOffer& offer);
    void downloadAndInstall(const UpdateOffer& offer);
    /// Escape on the panel: hides it; the work goes on (and ends) as it would have.
    void cancelCurrentUpdate();

    /// Stops the checks; an installation under way is asked to stop and waited for: it rolls
    /// back unless the new folder is already in place.
    void shutDown();

private:
    struct Job;

    void foundUpdate(bool silent, const UpdateOffer& offer);
    void observeIdleForUpdate();
    void download(std::shared_ptr<Job> job, std::string url, int redirectsLeft);
    void install(std::shared_ptr<Job> job);
    void fail(const std::string& message);
    void showError(const std::string& message);
    void relaunch(const std::string& appPath, const std::string& note);
    void finishOnMain();
    std::vector<std::string> installTargets() const;
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
    std::string publicKey_;
    std::function<std::unique_ptr<UpdateProgressView>(const std::string&)> makeProgressView_;
    std::function<void()> terminate_;
    std::function<void(const std::string&)> print_;

    std::shared_ptr<WorkItem> timer_;
    std::optional<UpdateOffer> pendingUpdate_;
    std::optional<Subscription> idleObserver_;
    bool isUpdating_ = false;
    bool offerOpen_ = false; // an update alert is on screen
    std::unique_ptr<UpdateProgressView> currentProgressWindow_;
    std::shared_ptr<std::atomic<bool>> stopInstalling_ = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> installing_ = std::make_shared<std::atomic<bool>>(false);
    std::thread worker_; // the installation; main thread only
    std::shared_ptr<AutoUpdater*> self_ = std::make_shared<AutoUpdater*>(this);
};

} // namespace skrib
