#include "update/AutoUpdater.h"

#include "platform/Url.h"
#include "update/BundleInstaller.h"
#include "update/UpdateImage.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

namespace skrib {
namespace {

namespace fs = std::filesystem;

std::mutex sharedLock;
std::unique_ptr<AutoUpdater> sharedUpdater;

constexpr const char* jobPrefix = "update-";

// `path`, made if missing, as a real folder of this user's that nobody else may enter; why not.
std::optional<std::string> makePrivateFolder(const std::string& path) {
    std::error_code ignored;
    fs::create_directories(fs::path(path).parent_path(), ignored);
    ::mkdir(path.c_str(), 0700);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return "cannot make the folder " + path;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        return "the folder " + path + " is not a private folder of this user's";
    }
    if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        return "cannot make the folder " + path + " private";
    }
    return std::nullopt;
}

// The work folders of earlier updates in the staging folder.
void removeJobFolders(const std::string& staging) {
    if (staging.empty() || makePrivateFolder(staging)) {
        return;
    }
    std::error_code listing;
    for (fs::directory_iterator it(staging, listing), end; !listing && it != end;
         it.increment(listing)) {
        if (it->path().filename().string().starts_with(jobPrefix)) {
            std::error_code ignored;
            fs::remove_all(it->path(), ignored);
        }
    }
}

std::string parentOf(const std::string& folder) {
    return fs::path(folder).lexically_normal().parent_path().string();
}

} // namespace

// One accepted offer: its private work folder (removed with the job, on every path) and the
// downloaded image in it.
struct AutoUpdater::Job {
    UpdateOffer offer;
    std::string folder;
    std::string image;
    ~Job() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
};

AutoUpdater* AutoUpdater::shared() {
    std::lock_guard lock(sharedLock);
    return sharedUpdater.get();
}

void AutoUpdater::setShared(std::unique_ptr<AutoUpdater> updater) {
    std::unique_ptr<AutoUpdater> old;
    {
        std::lock_guard lock(sharedLock);
        old = std::exchange(sharedUpdater, std::move(updater));
    }
}

AutoUpdater::AutoUpdater(Environment e)
    : baseURL_(std::move(e.baseURL))
    , currentVersion_(e.currentVersion.empty() ? "0.0.0" : std::move(e.currentVersion))
    , websiteDomain_(std::move(e.websiteDomain))
    , http_(e.http)
    , mainQueue_(e.mainQueue)
    , appState_(e.appState)
    , alerts_(e.alerts)
    , processes_(e.processes)
    , paths_(std::move(e.paths))
    , publicKey_(std::move(e.publicKey))
    , makeProgressView_(std::move(e.makeProgressView))
    , terminate_(std::move(e.terminate))
    , print_(std::move(e.print)) {
    if (!print_) {
        print_ = [](const std::string& line) {
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        };
    }
}

AutoUpdater::~AutoUpdater() {
    shutDown();
}

void AutoUpdater::shutDown() {
    if (timer_) {
        timer_->cancel();
    }
    stopInstalling_->store(true);
    if (worker_.joinable()) {
        if (installing_->load()) {
            print_("[update] quitting: waiting for the installation to finish or roll back");
        }
        worker_.join();
    }
}

void AutoUpdater::onMain(Scheduler& mainQueue, std::weak_ptr<AutoUpdater*> weak,
                         std::function<void(AutoUpdater&)> work) {
    mainQueue.post([weak = std::move(weak), work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(**self);
        }
    });
}

void AutoUpdater::onMain(std::function<void(AutoUpdater&)> work) {
    onMain(mainQueue_, self_, std::move(work));
}

// MARK: - Checks

void AutoUpdater::startPeriodicChecks() {
    // What an update that was interrupted (the program ended) left behind.
    for (const std::string& target : installTargets()) {
        bundleInstaller::removeLeftovers(target);
    }
    removeJobFolders(paths_.staging);

    std::weak_ptr<AutoUpdater*> weak = self_;
    mainQueue_.postAfter(firstCheckDelay, [weak] {
        if (auto self = weak.lock()) {
            (*self)->checkForUpdate(true);
        }
    });
    timer_ = mainQueue_.scheduleRepeating(checkInterval, [weak] {
        if (auto self = weak.lock()) {
            (*self)->checkForUpdate(true);
        }
    });
}

void AutoUpdater::checkForUpdate(bool silent) {
    if (isUpdating_) {
        if (!silent) {
            print_("[update] already updating, skipping check");
        }
        return;
    }
    if (offerOpen_) {
        return; // the offer on screen is answered first
    }
    const std::string url = baseURL_ + "/update/check?v=" + currentVersion_;
    if (!isValidHttpURL(url)) {
        return;
    }
    HttpRequest request;
    request.url = url;
    // The answer arrives on the network thread: it is read there, and only the main thread,
    // where the updater lives and dies, touches the updater.
    std::weak_ptr<AutoUpdater*> weak = self_;
    Scheduler& queue = mainQueue_;
    const std::string version = currentVersion_;
    auto print = print_;
    http_.sharedSession()->dataTask(std::move(request), [weak, &queue, silent, version,
                                                         print](HttpResult result) {
        if (result.error || !result.response) {
            if (!silent) {
                print("[update] check failed: " +
                      (result.error ? result.error->description : std::string("unknown")));
                onMain(queue, weak, [](AutoUpdater& u) {
                    u.alerts_.runModal({Alert::Style::warning,
                                        "Update Check Failed",
                                        "Couldn't reach the update server. Check your internet "
                                        "connection.",
                                        {"OK"}});
                });
            }
            return;
        }
        const auto answer = nlohmann::json::parse(result.response->body, nullptr, false);
        if (answer.is_object() && answer.contains("update_available") &&
            answer["update_available"].is_boolean() && answer["update_available"].get<bool>() &&
            answer.contains("latest") && answer["latest"].is_string() &&
            answer.contains("download_url") && answer["download_url"].is_string()) {
            UpdateOffer offer{answer["latest"], answer["download_url"], "", 0};
            if (const auto it = answer.find("signature"); it != answer.end() && it->is_string()) {
                offer.signature = *it;
            }
            if (const auto it = answer.find("size");
                it != answer.end() && it->is_number_unsigned()) {
                offer.size = *it;
            }
            print("[update] new version available: " + offer.version + " (current: " + version +
                  ")");
            onMain(queue, weak, [silent, offer](AutoUpdater& u) { u.foundUpdate(silent, offer); });
            return;
        }
        if (!silent) {
            print("[update] up to date (" + version + ")");
            onMain(queue, weak, [version](AutoUpdater& u) {
                u.alerts_.runModal({Alert::Style::informational,
                                    "You're Up to Date",
                                    "Vantu Skrib " + version + " is the latest version.",
                                    {"OK"}});
            });
        }
    });
}

void AutoUpdater::foundUpdate(bool silent, const UpdateOffer& offer) {
    if (isUpdating_ || offerOpen_) {
        return;
    }
    const SkribState state = appState_.state.get();
    if (silent && (state == SkribState::listening || state == SkribState::processing)) {
        pendingUpdate_ = offer;
        observeIdleForUpdate();
        return;
    }
    showUpdateAlert(offer);
}

void AutoUpdater::observeIdleForUpdate() {
    if (idleObserver_) {
        return;
    }
    std::weak_ptr<AutoUpdater*> weak = self_;
    idleObserver_ = appState_.state.subscribe([weak](const SkribState& state) {
        auto self = weak.lock();
        if (!self || state != SkribState::idle || !(*self)->pendingUpdate_) {
            return;
        }
        AutoUpdater& u = **self;
        const UpdateOffer offer = *u.pendingUpdate_;
        u.pendingUpdate_.reset();
        // Ending the subscription from inside its own delivery is safe; do it after the copy.
        auto observer = std::move(u.idleObserver_);
        u.idleObserver_.reset();
        // Offered once the change to idle has been handled by everyone (the capsule is hidden
        // first), not in the middle of it.
        u.onMain([offer](AutoUpdater& u) {
            if (!u.isUpdating_) {
                u.showUpdateAlert(offer);
            }
        });
    });
}

void AutoUpdater::showUpdateAlert(const UpdateOffer& offer) {
    if (isUpdating_ || offerOpen_) {
        return;
    }
    offerOpen_ = true;
    const int choice =
        alerts_.runModal({Alert::Style::informational,
                          "Update Available",
                          "Vantu Skrib " + offer.version + " is available. You're currently on " +
                              currentVersion_ + ".\n\nWould you like to update now?",
                          {"Update Now", "Later"}});
    offerOpen_ = false;
    if (choice == 0) {
        downloadAndInstall(offer);
    }
}

// MARK: - Download and installation

void AutoUpdater::showError(const std::string& message) {
    alerts_.runModal({Alert::Style::warning, "Update Failed", message, {"OK"}});
}

void AutoUpdater::fail(const std::string& message) {
    finishOnMain();
    removeJobFolders(paths_.staging); // one update at a time: what is there is this one's
    showError(message);
}

void AutoUpdater::finishOnMain() {
    if (currentProgressWindow_) {
        currentProgressWindow_->close();
        currentProgressWindow_.reset();
    }
    isUpdating_ = false;
}

void AutoUpdater::cancelCurrentUpdate() {
    if (currentProgressWindow_) {
        auto window = std::move(currentProgressWindow_);
        window->close();
    }
}

void AutoUpdater::downloadAndInstall(const UpdateOffer& offer) {
    if (!isValidHttpURL(offer.url) || isUpdating_) {
        return;
    }
    isUpdating_ = true;
    if (makeProgressView_) {
        currentProgressWindow_ = makeProgressView_(offer.version);
        if (currentProgressWindow_) {
            std::weak_ptr<AutoUpdater*> weak = self_;
            currentProgressWindow_->onCancel = [weak] {
                if (auto self = weak.lock()) {
                    (*self)->cancelCurrentUpdate();
                }
            };
            currentProgressWindow_->show();
        }
    }
    if (offer.size > updateImage::maxImageBytes) {
        return fail("Download failed: the update image is larger than " +
                    std::to_string(updateImage::maxImageBytes >> 20) + " MB");
    }
    if (const auto problem = makePrivateFolder(paths_.staging)) {
        return fail("Failed to prepare update: " + *problem);
    }
    std::string folder = paths_.staging + "/" + jobPrefix + "XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        return fail("Failed to prepare update: cannot make a folder in " + paths_.staging);
    }
    auto job = std::make_shared<Job>(); // made in place: a Job removes its folder when it goes
    job->offer = offer;
    job->folder = folder;
    download(std::move(job), offer.url, maxRedirects);
}

void AutoUpdater::download(std::shared_ptr<Job> job, std::string url, int redirectsLeft) {
    if (!isValidHttpURL(url)) {
        return fail("Download failed: the image's address is not valid");
    }
    HttpRequest request;
    request.url = std::move(url);
    request.downloadFolder = job->folder;
    request.maxBytes = job->offer.size != 0 ? job->offer.size : updateImage::maxImageBytes;
    std::weak_ptr<AutoUpdater*> weak = self_;
    Scheduler& queue = mainQueue_;
    http_.sharedSession()->downloadTask(std::move(request), [weak, &queue, job, redirectsLeft](
                                                                DownloadResult result) {
        // The body file lies in the job's folder, so it goes with the job on every path.
        onMain(queue, weak, [job, redirectsLeft, result](AutoUpdater& u) {
            if (result.error || result.filePath.empty()) {
                return u.fail("Download failed: " +
                              (result.error ? result.error->description : "unknown error"));
            }
            if (result.statusCode >= 300 && result.statusCode < 400 &&
                !result.redirectURL.empty() && redirectsLeft > 0) {
                std::error_code ignored;
                fs::remove(result.filePath, ignored);
                return u.download(job, result.redirectURL, redirectsLeft - 1);
            }
            if (result.statusCode != 200) {
                return u.fail("Download failed: the server answered HTTP " +
                              std::to_string(result.statusCode));
            }
            job->image = result.filePath;
            if (u.currentProgressWindow_) {
                u.currentProgressWindow_->updateStatus("Installing...");
            }
            u.install(job);
        });
    });
}

std::vector<std::string> AutoUpdater::installTargets() const {
    std::vector<std::string> targets;
    const auto add = [&targets](const fs::path& target) {
        const std::string normal = target.lexically_normal().string();
        if (std::find(targets.begin(), targets.end(), normal) == targets.end()) {
            targets.push_back(normal);
        }
    };
    // Where the program lives, when it may be changed; else the system folder, then the user's.
    if (!paths_.runningBundle.empty() &&
        ::access(parentOf(paths_.runningBundle).c_str(), W_OK) == 0) {
        add(paths_.runningBundle);
    }
    add(fs::path(paths_.installFolder) / bundleName);
    if (!paths_.fallbackInstallFolder.empty()) {
        add(fs::path(paths_.fallbackInstallFolder) / bundleName);
    }
    return targets;
}

void AutoUpdater::install(std::shared_ptr<Job> job) {
    if (worker_.joinable()) {
        worker_.join(); // an earlier attempt's thread, long finished
    }
    std::weak_ptr<AutoUpdater*> weak = self_;
    Scheduler& queue = mainQueue_;
    const std::vector<std::string> targets = installTargets();
    const std::string runningBundle = paths_.runningBundle;
    const std::string publicKey = publicKey_;
    const std::string domain = websiteDomain_;
    const auto print = print_;
    const auto stop = stopInstalling_;
    const auto installing = installing_;
    installing->store(true);
    // Runs with its own copies of what it needs; the updater waits for it before it goes.
    worker_ = std::thread([weak, &queue, job, targets, runningBundle, publicKey, domain, print,
                          stop, installing] {
        struct Done {
            std::atomic<bool>& flag;
            ~Done() { flag.store(false); }
        } done{*installing};
        const auto failed = [&](std::string message) {
            onMain(queue, weak, [message](AutoUpdater& u) { u.fail(message); });
        };
        const std::string manual = ". Please download manually from " + domain;
        std::error_code sizeError;
        const auto size = fs::file_size(job->image, sizeError);
        if (sizeError || (job->offer.size != 0 && size != job->offer.size)) {
            print("[update] the image is not the size announced (" + std::to_string(size) +
                  " bytes, not " + std::to_string(job->offer.size) + ")");
            return failed("The update image is incomplete" + manual);
        }
        if (const auto problem =
                updateImage::verifySignature(job->image, job->offer.signature, publicKey)) {
            print("[update] signature check failed: " + *problem);
            return failed("The update image could not be verified" + manual);
        }
        const std::string unpacked = job->folder + "/unpacked";
        ::mkdir(unpacked.c_str(), 0700);
        const auto bundle = updateImage::extractBundle(job->image, unpacked, bundleName);
        if (const auto* problem = std::get_if<std::string>(&bundle)) {
            print("[update] image refused: " + *problem);
            return failed("Failed to mount update image" + manual);
        }
        const std::string source = std::get<updateImage::Bundle>(bundle).path;
        std::string installed;
        std::string lastError = "nowhere to install";
        for (const std::string& target : targets) {
            if (stop->load()) {
                lastError = "cancelled";
                break;
            }
            std::error_code ignored;
            fs::create_directories(parentOf(target), ignored);
            const auto problem = bundleInstaller::install(source, target, stop.get());
            if (!problem) {
                installed = target;
                break;
            }
            print("[update] cannot install in " + target + ": " + *problem);
            lastError = *problem;
        }
        if (installed.empty()) {
            return failed("Failed to install: " + lastError);
        }
        std::string note;
        if (!runningBundle.empty() && installed != fs::path(runningBundle).lexically_normal()) {
            print("[update] installed in " + installed + " (" + runningBundle +
                  " cannot be changed)");
            note = "\n\nThe new version is in " + installed + ", because " + runningBundle +
                   " cannot be changed.";
        }
        onMain(queue, weak, [installed, note](AutoUpdater& u) { u.relaunch(installed, note); });
    });
}

void AutoUpdater::relaunch(const std::string& appPath, const std::string& note) {
    // Still updating: nothing else is offered or installed until the program restarts.
    if (currentProgressWindow_) {
        currentProgressWindow_->close();
        currentProgressWindow_.reset();
    }
    alerts_.runModal({Alert::Style::informational,
                      "Update Installed",
                      "Vantu Skrib has been updated. The app will now restart." + note,
                      {"Restart"}});
    processes_.spawnDetached(appPath + "/AppRun", {});
    std::weak_ptr<AutoUpdater*> weak = self_;
    mainQueue_.postAfter(0.5, [weak] {
        if (auto self = weak.lock(); self && (*self)->terminate_) {
            (*self)->terminate_();
        }
    });
}

} // namespace skrib
