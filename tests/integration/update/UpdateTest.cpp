// A real update: application folders made from this build by packaging/make-appdir, the new one
// packed by packaging/make-update-image and served on loopback, downloaded by libcurl, unpacked
// by /usr/bin/tar and installed into temporary folders standing in for /opt and ~/Applications.
// Only the relaunch is noted instead of done (the new instance would need a desktop); the test
// runs the installed folder itself.

#include "FakeSystem.h"
#include "state/AppState.h"
#include "platform/posix/PosixProcessRunner.h"
#include "platform/qt/QtScheduler.h"
#include "service/curl/CurlHttpClient.h"
#include "update/AutoUpdater.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <map>
#include <nlohmann/json.hpp>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include <QEventLoop>

namespace skrib {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* installedVersion = "1.0.0";
constexpr const char* offeredVersion = "1.1.0";
constexpr const char* websiteDomain = "vantuskrib.example";
constexpr const char* bundleName = "VantuSkrib.app";

fs::path makeTemporaryFolder(const std::string& name) {
    const char* base = std::getenv("SKRIB_TEST_TMP");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a folder like " + pattern);
    }
    return pattern;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ProcessRunner::Result runProgram(const std::string& program,
                                 const std::vector<std::string>& arguments) {
    PosixProcessRunner processes;
    return processes.run(program, arguments);
}

std::string versionOf(const fs::path& applicationFolder) {
    const auto result = runProgram((applicationFolder / "AppRun").string(), {"--version"});
    return result.started ? result.output : "not started: " + result.error;
}

// What a folder holds, entry by entry: kind, size, content fingerprint, executable bit.
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        const std::string relative = it->path().lexically_relative(root).string();
        const fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status)) {
            tree[relative] = "link to " + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            tree[relative] = "folder";
        } else {
            const std::string content = readFile(it->path());
            const bool executable =
                (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
            tree[relative] = std::to_string(content.size()) + " bytes #" +
                             std::to_string(std::hash<std::string>{}(content)) +
                             (executable ? " executable" : "");
        }
    }
    if (error) {
        tree["(unreadable)"] = error.message();
    }
    return tree;
}

void copyFolder(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

// The application folders, made once per run.
struct Releases {
    fs::path folder;
    fs::path installed; // the running version
    fs::path offered;   // the version the server offers
    fs::path image;     // the offered version packed
    std::string problem;

    Releases() {
        folder = makeTemporaryFolder("skrib-releases");
        installed = make("installed", installedVersion);
        offered = make("offered", offeredVersion);
        image = folder / "VantuSkrib-1.1.0.tar.gz";
        const auto packed = runProgram(SKRIB_MAKE_UPDATE_IMAGE, {offered.string(), image.string()});
        if (problem.empty() && (!packed.started || packed.exitStatus != 0)) {
            problem = "make-update-image failed: " + packed.error + packed.output;
        }
    }
    ~Releases() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    fs::path make(const std::string& name, const std::string& version) {
        const auto made =
            runProgram(SKRIB_MAKE_APPDIR, {SKRIB_BUILD_DIR, (folder / name).string(), version});
        if (problem.empty() && (!made.started || made.exitStatus != 0)) {
            problem = "make-appdir failed: " + made.error + made.output;
        }
        return folder / name / bundleName;
    }
};

const Releases& releases() {
    static const Releases made;
    return made;
}

// The service's release side on 127.0.0.1: "/update/check" offers one version, and
// "/releases/..." answers with whatever the test put there. It notes every request.
class ReleaseServer {
public:
    ReleaseServer() {
        server_.set_pre_routing_handler([this](const httplib::Request& in, httplib::Response&) {
            std::lock_guard lock(lock_);
            requests_.push_back(in.method + " " + in.target);
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server_.Get("/update/check", [this](const httplib::Request&, httplib::Response& out) {
            std::lock_guard lock(lock_);
            out.set_content(nlohmann::json{{"update_available", true},
                                           {"latest", offeredVersion},
                                           {"download_url", downloadUrl_}}
                                .dump(),
                            "application/json");
        });
        server_.Get(R"(/releases/.*)", [this](const httplib::Request&, httplib::Response& out) {
            std::lock_guard lock(lock_);
            out.status = status_;
            out.set_content(body_, "application/gzip");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~ReleaseServer() {
        server_.stop();
        thread_.join();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    void offer(std::string downloadUrl, int status, std::string body) {
        std::lock_guard lock(lock_);
        downloadUrl_ = std::move(downloadUrl);
        status_ = status;
        body_ = std::move(body);
    }
    std::vector<std::string> requests() const {
        std::lock_guard lock(lock_);
        return requests_;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex lock_;
    std::string downloadUrl_;
    int status_ = 404;
    std::string body_;
    std::vector<std::string> requests_;
};

// The program's main queue on Qt's event loop; `runUntil` turns the loop until a condition,
// checked after every piece of work, holds.
class MainQueue final : public Scheduler {
public:
    MainQueue() { queue_.start(); }

    void post(Task task) override { queue_.post(watched(std::move(task))); }
    std::shared_ptr<WorkItem> postAfter(double seconds, Task task) override {
        return queue_.postAfter(seconds, watched(std::move(task)));
    }
    std::shared_ptr<WorkItem> scheduleRepeating(double intervalSeconds, Task task) override {
        return queue_.scheduleRepeating(intervalSeconds, watched(std::move(task)));
    }
    WallClock::time_point now() const override { return queue_.now(); }
    double absoluteTime() const override { return queue_.absoluteTime(); }

    void runUntil(std::function<bool()> done) {
        if (done()) {
            return;
        }
        QEventLoop loop;
        done_ = std::move(done);
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
        done_ = nullptr;
    }

private:
    Task watched(Task task) {
        return [this, task = std::move(task)] {
            task();
            if (loop_ != nullptr && done_()) {
                loop_->quit();
            }
        };
    }

    QtScheduler queue_;
    QEventLoop* loop_ = nullptr;
    std::function<bool()> done_;
};

// Answers every alert with its first button ("Update Now", "OK", "Restart").
class AnsweringAlerts final : public AlertPresenter {
public:
    std::vector<std::string> titles() const {
        std::lock_guard lock(lock_);
        return titles_;
    }
    int runModal(const Alert& alert) override {
        std::lock_guard lock(lock_);
        titles_.push_back(alert.title);
        return 0;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> titles_;
};

// Child processes for real, except the relaunch, which is only noted.
class NotingRelaunch final : public ProcessRunner {
public:
    std::vector<std::vector<std::string>> relaunched;

    Result run(const std::string& program, const std::vector<std::string>& arguments) override {
        return real_.run(program, arguments);
    }
    bool spawnDetached(const std::string& program,
                       const std::vector<std::string>& arguments) override {
        std::vector<std::string> call{program};
        call.insert(call.end(), arguments.begin(), arguments.end());
        relaunched.push_back(call);
        return true;
    }

private:
    PosixProcessRunner real_;
};

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(releases().problem.empty()) << releases().problem;
        root_ = makeTemporaryFolder("skrib-update");
        paths_.imageCopy = (root_ / "VantuSkrib-update.tar.gz").string();
        paths_.mountPoint = (root_ / "VantuSkrib-Update").string();
        paths_.installFolder = (root_ / "opt").string() + "/";
        paths_.fallbackInstallFolder = (root_ / "home" / "Applications").string() + "/";
        fs::create_directories(root_ / "opt");
        fs::create_directories(root_ / "home");
        fs::create_directories(downloads());
        http_ = std::make_unique<CurlHttpClient>(CurlHttpClient::Options{"", downloads()});
        server_.offer(server_.url("/releases/VantuSkrib-1.1.0.tar.gz"), 200,
                      readFile(releases().image));
    }

    void TearDown() override {
        {
            std::lock_guard lock(lock_);
            for (std::thread& worker : background_) {
                worker.join();
            }
        }
        updater_.reset();
        http_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path primary() const { return fs::path(paths_.installFolder) / bundleName; }
    fs::path fallback() const { return fs::path(paths_.fallbackInstallFolder) / bundleName; }
    std::string downloads() const { return (root_ / "downloads").string(); }

    // A check started by the user whose offer is accepted. Returns once the program asked to
    // quit, or once a failed update has been cleaned up.
    void runUpdate() {
        updater_ = std::make_unique<AutoUpdater>(AutoUpdater::Environment{
            server_.url(""), installedVersion, websiteDomain, *http_, queue_, appState_, alerts_,
            processes_, paths_,
            [this](const std::string&) -> std::unique_ptr<UpdateProgressView> {
                return std::make_unique<testing::FakeProgressView>(panel_);
            },
            [this](std::function<void()> work) {
                std::lock_guard lock(lock_);
                background_.emplace_back(std::move(work));
            },
            [this] { terminated_ = true; },
            [](const std::string& line) { std::printf("%s\n", line.c_str()); }});
        updater_->checkForUpdate(false);
        queue_.runUntil([this] {
            const auto titles = alerts_.titles();
            const std::string last = titles.empty() ? "" : titles.back();
            return terminated_ || (last != "Update Available" && last != "Update Installed" &&
                                   !last.empty() && !updater_->isUpdating());
        });
    }

    // What every finished attempt leaves behind, whatever its outcome.
    void expectCleanedUp() {
        EXPECT_FALSE(updater_->isUpdating());
        EXPECT_FALSE(fs::exists(paths_.imageCopy));
        EXPECT_FALSE(fs::exists(paths_.mountPoint));
        EXPECT_TRUE(fs::is_empty(downloads())) << "the download's temporary file is left";
        ASSERT_FALSE(panel_.empty());
        EXPECT_EQ(panel_.front(), "show");
        EXPECT_EQ(panel_.back(), "close");
        EXPECT_EQ(std::count(panel_.begin(), panel_.end(), "close"), 1);
    }

    fs::path root_;
    AutoUpdater::Paths paths_;
    ReleaseServer server_;
    MainQueue queue_;
    std::unique_ptr<CurlHttpClient> http_;
    AppState appState_;
    AnsweringAlerts alerts_;
    NotingRelaunch processes_;
    std::vector<std::string> panel_;
    bool terminated_ = false;

    mutable std::mutex lock_;
    std::vector<std::thread> background_;
    std::unique_ptr<AutoUpdater> updater_;
};

TEST_F(UpdateTest, InstallsTheOfferedFolderOverTheRunningOneAndRestartsIt) {
    copyFolder(releases().installed, primary());
    // Half of an earlier attempt's image: a stray file in the bundle, and a bundle the new
    // image lacks. Neither may reach the installed folder.
    fs::create_directories(fs::path(paths_.mountPoint) / "Abandoned.app");
    fs::create_directories(fs::path(paths_.mountPoint) / bundleName);
    std::ofstream(fs::path(paths_.mountPoint) / bundleName / "left-over") << "stale";

    runUpdate();

    EXPECT_THAT(server_.requests(),
                ElementsAre("GET /update/check?v=1.0.0", "GET /releases/VantuSkrib-1.1.0.tar.gz"));
    EXPECT_THAT(alerts_.titles(), ElementsAre("Update Available", "Update Installed"));
    EXPECT_TRUE(terminated_);
    EXPECT_THAT(processes_.relaunched, ElementsAre(ElementsAre((primary() / "AppRun").string())));
    EXPECT_EQ(versionOf(primary()), "Vantu Skrib 1.1.0\n");
    EXPECT_EQ(treeOf(primary()), treeOf(releases().offered));
    EXPECT_FALSE(fs::exists(root_ / "opt" / "Abandoned.app"));
    EXPECT_FALSE(fs::exists(paths_.fallbackInstallFolder));
    expectCleanedUp();
}

// A system install folder the user cannot write (here: a file in its place; file modes do not
// stop root): the new version goes to ~/Applications, and that copy is restarted.
TEST_F(UpdateTest, BlockedInstallFolderInstallsIntoTheHomeFolder) {
    copyFolder(releases().installed, fallback());
    std::ofstream(root_ / "opt-file") << "not a folder";
    paths_.installFolder = (root_ / "opt-file").string() + "/";

    runUpdate();

    EXPECT_THAT(alerts_.titles(), ElementsAre("Update Available", "Update Installed"));
    EXPECT_THAT(processes_.relaunched, ElementsAre(ElementsAre((fallback() / "AppRun").string())));
    EXPECT_EQ(versionOf(fallback()), "Vantu Skrib 1.1.0\n");
    EXPECT_EQ(treeOf(fallback()), treeOf(releases().offered));
    expectCleanedUp();
}

// Downloads that cannot be installed: each ends in "Update Failed" and leaves the running
// program as it was.
enum class Broken { errorPage, noApplication, serverGone };

class BrokenDownloadTest : public UpdateTest, public ::testing::WithParamInterface<Broken> {};

TEST_P(BrokenDownloadTest, LeavesTheRunningProgramAlone) {
    copyFolder(releases().installed, primary());
    const std::string download = server_.url("/releases/VantuSkrib-1.1.0.tar.gz");
    if (GetParam() == Broken::errorPage) { // the status is not looked at: tar rejects the page
        server_.offer(download, 404, "<html><body><h1>404 Not Found</h1></body></html>\n");
    } else if (GetParam() == Broken::noApplication) { // a good archive of a plain folder
        fs::create_directories(root_ / "content" / "Documents");
        std::ofstream(root_ / "content" / "Documents" / "README") << "no program here\n";
        const auto packed = runProgram("/usr/bin/tar", {"-czf", (root_ / "doc.tar.gz").string(),
                                                        "-C", (root_ / "content").string(), "Documents"});
        ASSERT_EQ(packed.exitStatus, 0) << packed.output;
        server_.offer(download, 200, readFile(root_ / "doc.tar.gz"));
    } else {
        server_.offer("http://127.0.0.1:1/x.tar.gz", 200, ""); // nothing listens on port 1
    }

    runUpdate();

    EXPECT_THAT(alerts_.titles(), ElementsAre("Update Available", "Update Failed"));
    EXPECT_FALSE(terminated_);
    EXPECT_THAT(processes_.relaunched, IsEmpty());
    EXPECT_EQ(treeOf(primary()), treeOf(releases().installed));
    EXPECT_FALSE(fs::exists(paths_.fallbackInstallFolder));
    expectCleanedUp();
}

INSTANTIATE_TEST_SUITE_P(Update, BrokenDownloadTest,
                         ::testing::Values(Broken::errorPage, Broken::noApplication,
                                           Broken::serverGone));

} // namespace
} // namespace skrib
