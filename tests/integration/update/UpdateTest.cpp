// A real update: application folders made from this build by packaging/make-appdir, the new one
// packed by packaging/make-update-image and served on loopback, downloaded by libcurl, unpacked
// by /usr/bin/tar and installed into temporary folders standing in for /opt and ~/Applications.
// Only the relaunch is noted instead of done (the new instance would need a desktop); the test
// runs the installed folder itself.

#include "FakeSystem.h"
#include "ReleaseServer.h"
#include "app/AppState.h"
#include "platform/ProcessRunner.h"
#include "platform/qt/QtScheduler.h"
#include "service/curl/CurlHttpClient.h"
#include "update/AutoUpdater.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <QEventLoop>

namespace skrib {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

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

// Answers every alert with its first button ("Update Now", "OK", "Restart"), noting when.
class AnsweringAlerts final : public AlertPresenter {
public:
    struct Shown {
        Alert alert;
        Clock::time_point at;
    };
    std::vector<Shown> shown;

    int runModal(const Alert& alert) override {
        shown.push_back({alert, Clock::now()});
        return 0;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& s : shown) {
            out.push_back(s.alert.title + ": " + s.alert.text);
        }
        return out;
    }
    std::string lastTitle() const { return shown.empty() ? "" : shown.back().alert.title; }
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

// A loopback port nothing listens on.
int closedPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

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
        server_.offer(offeredVersion, server_.url("/releases/VantuSkrib-1.1.0.tar.gz"));
        server_.answerDownloads(200, "application/gzip", readFile(releases().image));
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
        fs::permissions(root_ / "opt", fs::perms::owner_all, fs::perm_options::add, ignored);
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
            [this](const std::string& line) {
                std::printf("%s\n", line.c_str());
                std::lock_guard lock(lock_);
                printed_.push_back(line);
            }});
        updater_->checkForUpdate(false);
        queue_.runUntil([this] {
            const std::string last = alerts_.lastTitle();
            return terminated_ || (last != "Update Available" && last != "Update Installed" &&
                                   !last.empty() && !updater_->isUpdating());
        });
    }

    std::vector<std::string> printed() const {
        std::lock_guard lock(lock_);
        return printed_;
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
    testing::ReleaseServer server_;
    MainQueue queue_;
    std::unique_ptr<CurlHttpClient> http_;
    AppState appState_;
    AnsweringAlerts alerts_;
    NotingRelaunch processes_;
    std::vector<std::string> panel_;
    bool terminated_ = false;

    mutable std::mutex lock_;
    std::vector<std::string> printed_;
    std::vector<std::thread> background_;
    std::unique_ptr<AutoUpdater> updater_;
};

TEST_F(UpdateTest, InstallsTheOfferedFolderOverTheRunningOneAndRestartsIt) {
    copyFolder(releases().installed, primary());

    runUpdate();

    EXPECT_THAT(server_.requests(),
                ElementsAre("GET /update/check?v=1.0.0", "GET /releases/VantuSkrib-1.1.0.tar.gz"));
    EXPECT_THAT(alerts_.texts(),
                ElementsAre("Update Available: Vantu Skrib 1.1.0 is available. You're currently "
                            "on 1.0.0.\n\nWould you like to update now?",
                            "Update Installed: Vantu Skrib has been updated. The app will now "
                            "restart."));
    EXPECT_THAT(printed(), Contains("[update] new version available: 1.1.0 (current: 1.0.0)"));
    EXPECT_THAT(panel_, ElementsAre("show", "status Installing...", "close"));
    EXPECT_TRUE(terminated_);
    EXPECT_THAT(processes_.relaunched, ElementsAre(ElementsAre((primary() / "AppRun").string())));

    EXPECT_EQ(versionOf(primary()), "Vantu Skrib 1.1.0\n");
    EXPECT_EQ(treeOf(primary()), treeOf(releases().offered));
    EXPECT_FALSE(fs::exists(paths_.fallbackInstallFolder));
    expectCleanedUp();

    ASSERT_EQ(alerts_.shown.size(), 2u);
    const double seconds =
        std::chrono::duration<double>(alerts_.shown[1].at - alerts_.shown[0].at).count();
    std::printf("update image: %ju bytes; accepted to installed: %.2f s\n",
                static_cast<std::uintmax_t>(fs::file_size(releases().image)), seconds);
}

TEST_F(UpdateTest, ClearsWhatAnEarlierAttemptLeftAtTheMountPoint) {
    copyFolder(releases().installed, primary());
    // Half an earlier image: a stray file inside the bundle, and a bundle the new image lacks.
    fs::create_directories(fs::path(paths_.mountPoint) / bundleName);
    std::ofstream(fs::path(paths_.mountPoint) / bundleName / "left-over") << "stale";
    fs::create_directories(fs::path(paths_.mountPoint) / "Abandoned.app" / "bin");
    std::ofstream(fs::path(paths_.mountPoint) / "Abandoned.app" / "AppRun") << "#!/bin/sh\n";

    runUpdate();

    EXPECT_THAT(alerts_.texts(),
                ElementsAre(StartsWith("Update Available:"), StartsWith("Update Installed:")));
    EXPECT_EQ(treeOf(primary()), treeOf(releases().offered));
    EXPECT_FALSE(fs::exists(root_ / "opt" / "Abandoned.app"));
    EXPECT_THAT(processes_.relaunched, ElementsAre(ElementsAre((primary() / "AppRun").string())));
    expectCleanedUp();
}

// Downloads that cannot be installed: each ends in one "Update Failed" alert and leaves the
// running program as it was.
struct BrokenDownload {
    const char* name;
    enum class Kind { errorPage, noApplication, unreachable } kind;
    const char* alertText; // "Update Failed" text, or its beginning when it ends in "..."
};

class BrokenDownloadTest : public UpdateTest,
                           public ::testing::WithParamInterface<BrokenDownload> {};

TEST_P(BrokenDownloadTest, EndsInOneFailureAlertAndLeavesTheRunningProgramAlone) {
    copyFolder(releases().installed, primary());
    switch (GetParam().kind) {
    case BrokenDownload::Kind::errorPage:
        server_.answerDownloads(404, "text/html",
                                "<html><body><h1>404 Not Found</h1></body></html>\n");
        break;
    case BrokenDownload::Kind::noApplication: {
        // A good archive holding only a plain folder.
        const fs::path content = root_ / "content";
        fs::create_directories(content / "Documents");
        std::ofstream(content / "Documents" / "README") << "no program here\n";
        const fs::path image = root_ / "documents.tar.gz";
        const auto packed = runProgram(
            "/usr/bin/tar", {"-czf", image.string(), "-C", content.string(), "Documents"});
        ASSERT_EQ(packed.exitStatus, 0) << packed.output;
        server_.answerDownloads(200, "application/gzip", readFile(image));
        break;
    }
    case BrokenDownload::Kind::unreachable:
        server_.offer(offeredVersion, "http://127.0.0.1:" + std::to_string(closedPort()) +
                                          "/releases/VantuSkrib-1.1.0.tar.gz");
        break;
    }

    runUpdate();

    const std::string expected = GetParam().alertText;
    ASSERT_EQ(alerts_.shown.size(), 2u) << ::testing::PrintToString(alerts_.texts());
    EXPECT_EQ(alerts_.shown[0].alert.title, "Update Available");
    EXPECT_EQ(alerts_.shown[1].alert.title, "Update Failed");
    EXPECT_EQ(alerts_.shown[1].alert.style, Alert::Style::warning);
    if (expected.ends_with("...")) {
        EXPECT_THAT(alerts_.shown[1].alert.text,
                    StartsWith(expected.substr(0, expected.size() - 3)));
    } else {
        EXPECT_EQ(alerts_.shown[1].alert.text, expected);
    }
    if (GetParam().kind == BrokenDownload::Kind::errorPage) {
        EXPECT_THAT(printed(), Contains(StartsWith("[update] tar extract failed (2): ")));
    }

    EXPECT_FALSE(terminated_);
    EXPECT_THAT(processes_.relaunched, IsEmpty());
    EXPECT_EQ(treeOf(primary()), treeOf(releases().installed));
    EXPECT_FALSE(fs::exists(paths_.fallbackInstallFolder));
    expectCleanedUp();
}

INSTANTIATE_TEST_SUITE_P(
    Update, BrokenDownloadTest,
    ::testing::Values(
        // The HTTP status is not looked at: an error page is unpacked and rejected by tar.
        BrokenDownload{"ErrorPage", BrokenDownload::Kind::errorPage,
                       "Failed to mount update image. Please download manually from "
                       "vantuskrib.example"},
        BrokenDownload{"NoApplicationFolder", BrokenDownload::Kind::noApplication,
                       "No app found in update image."},
        BrokenDownload{"ServerGone", BrokenDownload::Kind::unreachable, "Download failed: ..."}),
    [](const auto& info) { return std::string(info.param.name); });

// A system install folder the user cannot write: the new version goes to the home folder's
// Applications folder, and that copy is restarted.
struct BlockedInstallFolder {
    const char* name;
    bool byPermissions; // else a plain file sits where the folder should be
};

class BlockedInstallFolderTest : public UpdateTest,
                                 public ::testing::WithParamInterface<BlockedInstallFolder> {};

TEST_P(BlockedInstallFolderTest, InstallsIntoTheHomeFolderAndRestartsThatCopy) {
    copyFolder(releases().installed, fallback());
    if (GetParam().byPermissions) {
        if (::geteuid() == 0) {
            GTEST_SKIP() << "file modes do not stop root";
        }
        fs::permissions(root_ / "opt", fs::perms::owner_read | fs::perms::owner_exec |
                                           fs::perms::group_read | fs::perms::group_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
    } else {
        std::ofstream(root_ / "opt-file") << "not a folder";
        paths_.installFolder = (root_ / "opt-file").string() + "/";
    }

    runUpdate();

    EXPECT_THAT(alerts_.texts(),
                ElementsAre(StartsWith("Update Available:"), StartsWith("Update Installed:")));
    EXPECT_THAT(processes_.relaunched, ElementsAre(ElementsAre((fallback() / "AppRun").string())));
    EXPECT_EQ(versionOf(fallback()), "Vantu Skrib 1.1.0\n");
    EXPECT_EQ(treeOf(fallback()), treeOf(releases().offered));
    EXPECT_FALSE(fs::exists(primary()));
    expectCleanedUp();
}

INSTANTIATE_TEST_SUITE_P(Update, BlockedInstallFolderTest,
                         ::testing::Values(BlockedInstallFolder{"ReadOnly", true},
                                           BlockedInstallFolder{"FileInTheWay", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The folder make-appdir writes and the image make-update-image packs.
class ApplicationFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(releases().problem.empty()) << releases().problem;
        root_ = makeTemporaryFolder("skrib-appdir");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path root_;
};

TEST_F(ApplicationFolderTest, RunsFromAnyPlaceAlsoThroughALink) {
    const fs::path moved = root_ / "Some Folder" / bundleName;
    copyFolder(releases().offered, moved);
    fs::create_directories(root_ / "bin");
    fs::create_symlink(moved / "AppRun", root_ / "bin" / "vantu-skrib");

    EXPECT_EQ(versionOf(moved), "Vantu Skrib 1.1.0\n");
    const auto throughLink = runProgram((root_ / "bin" / "vantu-skrib").string(), {"--version"});
    EXPECT_EQ(throughLink.output, "Vantu Skrib 1.1.0\n");
}

TEST_F(ApplicationFolderTest, HoldsTheProgramItsResourcesDesktopEntryAndIcon) {
    const fs::path app = releases().offered;
    const auto tree = treeOf(app);
    for (const char* entry : {"AppRun", "bin/vantu-skrib", ".DirIcon", "vantu-skrib.desktop",
                              "vantu-skrib.png", "resources/Fonts/Figtree-Regular.ttf"}) {
        ASSERT_EQ(tree.count(entry), 1u) << entry;
    }
    EXPECT_THAT(tree.at("AppRun"), ::testing::EndsWith(" executable"));
    EXPECT_THAT(tree.at("bin/vantu-skrib"), ::testing::EndsWith(" executable"));
    EXPECT_EQ(tree.at(".DirIcon"), "link to vantu-skrib.png");
    EXPECT_EQ(tree.at("resources/Fonts/Figtree-Regular.ttf"),
              treeOf(fs::path(SKRIB_BUILD_DIR) / "resources").at("Fonts/Figtree-Regular.ttf"));

    const std::string entry = readFile(app / "vantu-skrib.desktop");
    EXPECT_THAT(entry, StartsWith("[Desktop Entry]\n"));
    for (const char* line : {"Type=Application", "Name=Vantu Skrib", "Exec=AppRun",
                             "Icon=vantu-skrib", "Categories=Utility;Accessibility;",
                             "StartupNotify=false", "X-VantuSkrib-Version=1.1.0"}) {
        EXPECT_THAT(entry, ::testing::HasSubstr("\n" + std::string(line) + "\n"));
    }

    // A 256 × 256 PNG: the signature, then the header chunk with width and height.
    const std::string png = readFile(app / "vantu-skrib.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\1\0\0\0\1\0", 8));
}

TEST_F(ApplicationFolderTest, StampsTheBuildsOwnVersionWhenNoneIsGiven) {
    const auto made = runProgram(SKRIB_MAKE_APPDIR, {SKRIB_BUILD_DIR, root_.string()});
    ASSERT_EQ(made.exitStatus, 0) << made.output;
    EXPECT_EQ(versionOf(root_ / bundleName), "Vantu Skrib " SKRIB_VERSION "\n");
}

TEST_F(ApplicationFolderTest, UpdateImageHoldsOnlyTheApplicationFolder) {
    const auto listed = runProgram("/usr/bin/tar", {"-tzf", releases().image.string()});
    ASSERT_EQ(listed.exitStatus, 0) << listed.output;
    std::istringstream lines(listed.output);
    std::vector<std::string> outside;
    std::size_t entries = 0;
    for (std::string line; std::getline(lines, line); ++entries) {
        if (!line.starts_with(std::string(bundleName) + "/")) {
            outside.push_back(line);
        }
    }
    EXPECT_THAT(outside, IsEmpty());
    EXPECT_EQ(entries, treeOf(releases().offered).size() + 1); // + the folder itself
}

} // namespace
} // namespace skrib
