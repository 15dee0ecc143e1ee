#include "update/AutoUpdater.h"

#include "platform/Url.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

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
        runInBackground_ = [](std::function<void()> work) {
            std::thread(std::move(work)).detach();
        };
    }
}

AutoUpdater::~AutoUpdater() {
    if (timer_) {
        timer_->cancel();
    }
}

void AutoUpdater::onMain(std::function<void(AutoUpdater&)> work) {
    std::weak_ptr<AutoUpdater*> weak = self_;
    mainQueue_.post([weak, work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(**self);
        }
    });
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
    std::weak_ptr<AutoUpdater*> weak = self_;
    const std::string version = currentVersion_;
    auto print = print_;
    http_.sharedSession()->dataTask(std::move(request), [weak, silent, version,
                                                         print](HttpResult result) {
        if (!weak.lock()) {
            return;
        }
        if (result.error || !result.response) {
            if (!silent) {
                print("[update] check failed: " +
                      (result.error ? result.error->description : std::string("unknown")));
                auto self = weak.lock();
                if (self) {
                    (*self)->onMain([](AutoUpdater& u) {
                        u.alerts_.runModal({Alert::Style::warning,
                                            "Update Check Failed",
                                            "Couldn't reach the update server. Check your internet "
                                            "connection.",
                                            {"OK"}});
                    });
                }
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
            if (auto self = weak.lock()) {
                (*self)->onMain(
                    [silent, latest, url](AutoUpdater& u) { u.foundUpdate(silent, latest, url); });
            }
            return;
        }
        if (!silent) {
            print("[update] up to date (" + version + ")");
            if (auto self = weak.lock()) {
                (*self)->onMain([version](AutoUpdater& u) {
                    u.alerts_.runModal({Alert::Style::informational,
                                        "You're Up to Date",
                                        "Vantu Skrib " + version + " is the latest version.",
                                        {"OK"}});
                });
            }
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
    http_.sharedSession()->downloadTask(std::move(request), [weak](DownloadResult result) {
        auto self = weak.lock();
        if (!self) {
            if (!result.filePath.empty()) {
                std::error_code ignored;
                fs::remove(result.filePath, ignored);
            }
            return;
        }
        AutoUpdater& u = **self;
        if (result.error || result.filePath.empty()) {
            const std::string message = result.error ? result.error->description : "unknown error";
            u.onMain([message](AutoUpdater& u) {
                u.finishOnMain();
                u.showError("Download failed: " + message);
            });
            return;
        }
        std::error_code ignored;
        fs::remove(u.paths_.imageCopy, ignored);
        std::error_code error;
        fs::copy_file(result.filePath, u.paths_.imageCopy, error);
        fs::remove(result.filePath, ignored);
        if (error) {
            const std::string message = error.message();
            u.onMain([message](AutoUpdater& u) {
                u.finishOnMain();
                u.showError("Failed to prepare update: " + message);
            });
            return;
        }
        u.onMain([](AutoUpdater& u) {
            if (u.currentProgressWindow_) {
                u.currentProgressWindow_->updateStatus("Installing...");
            }
        });
        const std::string image = u.paths_.imageCopy;
        u.installUpdate(image, [weak, image] {
            std::error_code ignored;
            fs::remove(image, ignored);
            if (auto self = weak.lock()) {
                (*self)->onMain([](AutoUpdater& u) { u.finishOnMain(); });
            }
        });
    });
}

void AutoUpdater::installUpdate(const std::string& image, std::function<void()> completion) {
    std::weak_ptr<AutoUpdater*> weak = self_;
    runInBackground_([weak, image, completion = std::move(completion)] {
        auto self = weak.lock();
        if (!self) {
            completion();
            return;
        }
        AutoUpdater& u = **self;
        const fs::path mountPoint = u.paths_.mountPoint;
        auto error = [&u](std::string message) {
            u.onMain([message](AutoUpdater& u) { u.showError(message); });
        };
        auto unmount = [&mountPoint] {
            std::error_code ignored;
            fs::remove_all(mountPoint, ignored);
        };

        // A folder left from an earlier attempt is cleared first.
        unmount();
        std::error_code made;
        fs::create_directories(mountPoint, made);
        const auto extracted = u.processes_.run(
            u.paths_.tool, {"-xzf", image, "-C", mountPoint.string(), "--no-same-owner"});
        if (!extracted.started) {
            error("Failed to mount update image: " + extracted.error);
            unmount();
            completion();
            return;
        }
        if (extracted.exitStatus != 0) {
            const std::string output =
                extracted.output.empty() ? std::string("unknown error") : extracted.output;
            u.print_("[update] tar extract failed (" + std::to_string(extracted.exitStatus) +
                     "): " + output);
            error("Failed to mount update image. Please download manually from " +
                  u.websiteDomain_);
            unmount();
            completion();
            return;
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
            error("No app found in update image.");
            unmount();
            completion();
            return;
        }

        const fs::path source = mountPoint / bundle;
        const fs::path primary = fs::path(u.paths_.installFolder) / bundle;
        const fs::path fallback = fs::path(u.paths_.fallbackInstallFolder) / bundle;
        std::error_code ignored;
        fs::create_directories(primary.parent_path(), ignored);
        if (replaceTree(source, primary)) {
            fs::create_directories(u.paths_.fallbackInstallFolder, ignored);
            if (const auto failure = replaceTree(source, fallback)) {
                error("Failed to install: " + *failure);
                unmount();
                completion();
                return;
            }
        }
        unmount();
        const std::string installed = fs::exists(primary) ? primary.string() : fallback.string();
        u.onMain([completion, installed](AutoUpdater& u) {
            completion();
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
