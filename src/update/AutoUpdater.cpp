#include "update/AutoUpdater.h"

#include "platform/Url.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

namespace skrib {
namespace {

namespace fs = std::filesystem;

std::mutex sharedLock;
std::unique_ptr<AutoUpdater> sharedUpdater;

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Copies a folder tree, replacing whatever is at `to`; the error text on failure.
std::optional<std::string> replaceTree(const fs::path& from, const fs::path& to) {
    std::error_code ignored;
    fs::remove_all(to, ignored);
    std::error_code error;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (error) {
        fs::remove_all(to, ignored); // never leave half a program where the relaunch looks
        return error.message();
    }
    return std::nullopt;
}

} // namespace

AutoUpdater* AutoUpdater::shared() {
    std::lock_guard lock(sharedLock);
    return sharedUpdater.get();
}

void AutoUpdater::setShared(std::unique_ptr<AutoUpdater> updater) {
    std::lock_guard lock(sharedLock);
    sharedUpdater = std::move(updater);
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
    , makeProgressView_(std::move(e.makeProgressView))
    , runInBackground_(std::move(e.runInBackground))
    , terminate_(std::move(e.terminate))
    , print_(std::move(e.print)) {
    if (!print_) {
        print_ = [](const std::string& line) {
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        };
    }
    if (!runInBackground_) {
        runInBackground_ = [this](std::function<void()> work) {
            workers_.emplace_back(std::move(work));
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
    for (std::thread& worker : workers_) {
        worker.join();
    }
    workers_.clear();
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
            const std::string latest = answer["latest"];
            const std::string url = answer["download_url"];
            print("[update] new version available: " + latest + " (current: " + version + ")");
            onMain(queue, weak,
                   [silent, latest, url](AutoUpdater& u) { u.foundUpdate(silent, latest, url); });
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

void AutoUpdater::foundUpdate(bool silent, const std::string& version, const std::string& url) {
    if (isUpdating_) {
        return;
    }
    const SkribState state = appState_.state.get();
    if (silent && (state == SkribState::listening || state == SkribState::processing)) {
        pendingUpdate_ = std::make_pair(version, url);
        observeIdleForUpdate();
        return;
    }
    showUpdateAlert(version, url);
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
        const auto update = *u.pendingUpdate_;
        u.pendingUpdate_.reset();
        // Ending the subscription from inside its own delivery is safe; do it after the copy.
        auto observer = std::move(u.idleObserver_);
        u.idleObserver_.reset();
        if (!u.isUpdating_) {
            u.showUpdateAlert(update.first, update.second);
        }
    });
}

void AutoUpdater::showUpdateAlert(const std::string& version, const std::string& downloadURL) {
    if (isUpdating_) {
        return;
    }
    const int choice =
        alerts_.runModal({Alert::Style::informational,
                          "Update Available",
                          "Vantu Skrib " + version + " is available. You're currently on " +
                              currentVersion_ + ".\n\nWould you like to update now?",
                          {"Update Now", "Later"}});
    if (choice == 0) {
        downloadAndInstall(downloadURL, version);
    }
}

// MARK: - Download and installation

void AutoUpdater::showError(const std::string& message) {
    alerts_.runModal({Alert::Style::warning, "Update Failed", message, {"OK"}});
}

void AutoUpdater::finishOnMain() {
    if (currentProgressWindow_) {
        currentProgressWindow_->close();
        currentProgressWindow_.reset();
    }
    isUpdating_ = false;
}

void AutoUpdater::cancelCurrentUpdate() {
    isUpdating_ = false;
    if (currentProgressWindow_) {
        auto window = std::move(currentProgressWindow_);
        window->close();
    }
}

void AutoUpdater::downloadAndInstall(const std::string& url, const std::string& version) {
    if (!isValidHttpURL(url) || isUpdating_) {
        return;
    }
    isUpdating_ = true;
    if (makeProgressView_) {
        currentProgressWindow_ = makeProgressView_(version);
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
    HttpRequest request;
    request.url = url;
    std::weak_ptr<AutoUpdater*> weak = self_;
    Scheduler& queue = mainQueue_;
    http_.sharedSession()->downloadTask(std::move(request), [weak, &queue](DownloadResult result) {
        if (result.error || result.filePath.empty()) {
            const std::string message = result.error ? result.error->description : "unknown error";
            onMain(queue, weak, [message](AutoUpdater& u) {
                u.finishOnMain();
                u.showError("Download failed: " + message);
            });
            return;
        }
        // The downloaded file is this completion's until the installation takes it over.
        auto file = std::shared_ptr<std::string>(new std::string(result.filePath), [](auto* path) {
            if (!path->empty()) {
                std::error_code ignored;
                fs::remove(*path, ignored);
            }
            delete path;
        });
        onMain(queue, weak, [file](AutoUpdater& u) {
            if (u.currentProgressWindow_) {
                u.currentProgressWindow_->updateStatus("Installing...");
            }
            u.installUpdate(std::exchange(*file, {}));
        });
    });
}

void AutoUpdater::installUpdate(const std::string& download) {
    // The installation runs on its own thread with its own copies of what it needs; the updater
    // waits for it before it goes (`shutDown`), and hears of the outcome on the main thread.
    std::weak_ptr<AutoUpdater*> weak = self_;
    Scheduler& queue = mainQueue_;
    const Paths paths = paths_;
    ProcessRunner& processes = processes_;
    const auto print = print_;
    const std::string websiteDomain = websiteDomain_;
    runInBackground_([weak, &queue, paths, &processes, print, websiteDomain, download] {
        const fs::path mountPoint = paths.mountPoint;
        auto cleanUp = [&paths, &mountPoint] {
            std::error_code ignored;
            fs::remove_all(mountPoint, ignored);
            fs::remove(paths.imageCopy, ignored);
        };
        auto fail = [&](std::string message) {
            cleanUp();
            onMain(queue, weak, [message](AutoUpdater& u) {
                u.finishOnMain();
                u.showError(message);
            });
        };

        std::error_code ignored;
        fs::remove(paths.imageCopy, ignored);
        std::error_code copied;
        fs::copy_file(download, paths.imageCopy, copied);
        fs::remove(download, ignored);
        if (copied) {
            return fail("Failed to prepare update: " + copied.message());
        }
        // A folder left from an earlier attempt is cleared first.
        fs::remove_all(mountPoint, ignored);
        fs::create_directories(mountPoint, ignored);
        const auto extracted = processes.run(
            paths.tool, {"-xzf", paths.imageCopy, "-C", mountPoint.string(), "--no-same-owner"});
        if (!extracted.started) {
            return fail("Failed to mount update image: " + extracted.error);
        }
        if (extracted.exitStatus != 0) {
            const std::string output =
                extracted.output.empty() ? std::string("unknown error") : extracted.output;
            print("[update] tar extract failed (" + std::to_string(extracted.exitStatus) +
                  "): " + output);
            return fail("Failed to mount update image. Please download manually from " +
                        websiteDomain);
        }

        std::string bundle;
        std::error_code listing;
        for (fs::directory_iterator it(mountPoint, listing), end; !listing && it != end;
             it.increment(listing)) {
            if (endsWith(it->path().filename().string(), ".app")) {
                bundle = it->path().filename().string();
                break;
            }
        }
        if (bundle.empty()) {
            return fail("No app found in update image.");
        }

        const fs::path source = mountPoint / bundle;
        const fs::path primary = fs::path(paths.installFolder) / bundle;
        const fs::path fallback = fs::path(paths.fallbackInstallFolder) / bundle;
        fs::create_directories(primary.parent_path(), ignored);
        if (replaceTree(source, primary)) {
            fs::create_directories(paths.fallbackInstallFolder, ignored);
            if (const auto failure = replaceTree(source, fallback)) {
                return fail("Failed to install: " + *failure);
            }
        }
        cleanUp();
        const std::string installed = fs::exists(primary) ? primary.string() : fallback.string();
        onMain(queue, weak, [installed](AutoUpdater& u) {
            u.finishOnMain();
            u.relaunch(installed);
        });
    });
}

void AutoUpdater::relaunch(const std::string& appPath) {
    alerts_.runModal({Alert::Style::informational,
                      "Update Installed",
                      "Vantu Skrib has been updated. The app will now restart.",
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
