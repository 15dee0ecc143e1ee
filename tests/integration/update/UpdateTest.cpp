// A real update: application folders made from this build by packaging/make-appdir, the new one
// packed by packaging/make-update-image, signed by packaging/sign-update-image with a key made
// for the run, served on loopback, downloaded by libcurl, checked, unpacked and installed into
// temporary folders standing in for /opt and ~/Applications. Only the relaunch is noted instead
// of done (the new instance would need a desktop); the test runs the installed folder itself.

#include "FakeSystem.h"
#include "platform/posix/PosixProcessRunner.h"
#include "platform/qt/QtScheduler.h"
#include "service/curl/CurlHttpClient.h"
#include "state/AppState.h"
#include "update/AutoUpdater.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QCoreApplication>

namespace skrib {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

constexpr const char* bundleName = "VantuSkrib.app";

fs::path makeTemporaryFolder(const std::string& name) {
    const char* base = std::getenv("SKRIB_TEST_TMP");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/" + name;
    return ::mkdtemp((pattern += "-XXXXXX").data());
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

ProcessRunner::Result run(const std::string& program, const std::vector<std::string>& arguments) {
    return PosixProcessRunner().run(program, arguments);
}

std::string versionOf(const fs::path& applicationFolder) {
    const auto result = run(applicationFolder / "AppRun", {"--version"});
    return result.started ? result.output : "not started: " + result.error;
}

// What a folder holds, entry by entry: kind, size, content fingerprint, executable bit.
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const fs::directory_entry& it : fs::recursive_directory_iterator(root)) {
        const fs::file_status status = it.symlink_status();
        std::string& entry = tree[it.path().lexically_relative(root).string()];
        if (fs::is_symlink(status)) {
            entry = "link to " + fs::read_symlink(it.path()).string();
        } else if (fs::is_directory(status)) {
            entry = "folder";
        } else {
            const std::string content = readFile(it.path());
            entry = std::to_string(content.size()) + " bytes #" +
                    std::to_string(std::hash<std::string>{}(content)) +
                    ((status.permissions() & fs::perms::owner_exec) != fs::perms::none ? " x" : "");
        }
    }
    return tree;
}

std::ptrdiff_t entries(const fs::path& folder) {
    return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

void copyFolder(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

std::string firstLine(const ProcessRunner::Result& result) {
    return result.output.substr(0, result.output.find('\n'));
}

// The application folders, made once per run: the running version, the offered one, its image,
// the run's release key and the image's signature.
struct Releases {
    fs::path folder = makeTemporaryFolder("skrib-releases");
    std::string problem;
    fs::path installed = make("installed", "1.0.0"), offered = make("offered", "1.1.0");
    fs::path image = folder / "VantuSkrib-1.1.0.tar.gz", key = folder / "release.pem";
    std::string publicKey, signature;

    Releases() {
        check(run(SKRIB_MAKE_UPDATE_IMAGE, {offered.string(), image.string()}));
        check(run(SKRIB_SIGN_UPDATE_IMAGE, {"--new-key", key.string()}));
        publicKey = firstLine(check(run(SKRIB_SIGN_UPDATE_IMAGE, {"--public-key", key.string()})));
        signature = firstLine(check(run(SKRIB_SIGN_UPDATE_IMAGE, {key.string(), image.string()})));
    }
    ~Releases() { fs::remove_all(folder); }
    fs::path make(const std::string& name, const std::string& version) {
        check(run(SKRIB_MAKE_APPDIR, {SKRIB_BUILD_DIR, (folder / name).string(), version}));
        return folder / name / bundleName;
    }
    ProcessRunner::Result check(ProcessRunner::Result made) {
        if (problem.empty() && (!made.started || made.exitStatus != 0)) {
            problem = "making the releases failed: " + made.error + made.output;
        }
        return made;
    }
};

const Releases& releases() {
    static const Releases made;
    return made;
}

// The service's release side on 127.0.0.1: "/update/check" offers version 1.1.0, and
// "/releases/..." answers with whatever the test put there. It notes every request.
struct ReleaseServer {
    ReleaseServer() {
        server.set_pre_routing_handler([this](const httplib::Request& in, httplib::Response&) {
            std::lock_guard lock(lock_);
            requests.push_back(in.method + " " + in.target);
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server.Get("/update/check", [this](const httplib::Request&, httplib::Response& out) {
            std::lock_guard lock(lock_);
            nlohmann::json offer{{"update_available", true}, {"latest", "1.1.0"},
                                 {"download_url", downloadUrl}, {"size", body.size()}};
            if (!signature.empty()) {
                offer["signature"] = signature;
            }
            out.set_content(offer.dump(), "application/json");
        });
        server.Get("/moved", [](const httplib::Request&, httplib::Response& out) {
            out.set_redirect("/releases/VantuSkrib-1.1.0.tar.gz");
        });
        server.Get(R"(/releases/.*)", [this](const httplib::Request&, httplib::Response& out) {
            std::lock_guard lock(lock_);
            out.status = status;
            out.set_content(body, "application/gzip");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~ReleaseServer() { server.stop(), thread.join(); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    std::vector<std::string> log() {
        std::lock_guard lock(lock_);
        return requests;
    }
    void offer(std::string downloadUrl_, int status_, std::string body_, std::string signature_) {
        std::lock_guard lock(lock_);
        downloadUrl = std::move(downloadUrl_), status = status_, body = std::move(body_);
        signature = std::move(signature_);
    }

    httplib::Server server;
    int port = 0;
    std::thread thread;
    std::mutex lock_; // for the fields below
    std::string downloadUrl;
    int status = 404;
    std::string body, signature;
    std::vector<std::string> requests;
};

// Child processes for real, except the relaunch, which is only noted.
struct NotingRelaunch final : ProcessRunner {
    Result run(const std::string& program, const std::vector<std::string>& arguments) override {
        return PosixProcessRunner().run(program, arguments);
    }
    bool spawnDetached(const std::string& program, const std::vector<std::string>&) override {
        relaunched.push_back(program);
        return true;
    }
    std::vector<std::string> relaunched;
};

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(releases().problem.empty()) << releases().problem;
        paths_.staging = (root_ / "home" / ".cache" / "VantuSkrib").string();
        paths_.installFolder = (root_ / "opt").string() + "/";
        paths_.fallbackInstallFolder = (root_ / "home" / "Applications").string() + "/";
        fs::create_directories(root_ / "opt"), fs::create_directories(root_ / "home");
        queue_.start();
        server_.offer(download_, 200, readFile(releases().image), releases().signature);
    }
    void TearDown() override {
        updater_.reset(), std::system(("umount -q " + (root_ / "opt").string()).c_str());
        fs::remove_all(root_);
    }

    fs::path primary() const { return fs::path(paths_.installFolder) / bundleName; }
    fs::path fallback() const { return fs::path(paths_.fallbackInstallFolder) / bundleName; }
    std::vector<std::string> titles() const {
        std::vector<std::string> titles(alerts_.shown.size());
        std::ranges::transform(alerts_.shown, titles.begin(), &Alert::title);
        return titles;
    }

    // A check started by the user whose offer is accepted (every alert gets its first button).
    // Returns once the program asked to quit, once a failed update has been cleaned up, or once
    // `until` holds.
    void runUpdate(std::function<bool()> until = {}) {
        updater_ = std::make_unique<AutoUpdater>(AutoUpdater::Environment{
            server_.url(""), "1.0.0", "vantuskrib.example", http_, queue_, appState_, alerts_,
            processes_, paths_, releases().publicKey,
            [this](const std::string&) -> std::unique_ptr<UpdateProgressView> {
                return std::make_unique<testing::FakeProgressView>(panel_);
            },
            [this] { terminated_ = true; },
            [](const std::string& line) { std::printf("%s\n", line.c_str()); }});
        updater_->checkForUpdate(false);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < limit && !terminated_ && !(until && until()) &&
               (alerts_.shown.empty() || titles().back() != "Update Failed" ||
                updater_->isUpdating())) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
    }

    fs::path root_ = makeTemporaryFolder("skrib-update");
    AutoUpdater::Paths paths_;
    ReleaseServer server_;
    std::string download_ = server_.url("/releases/VantuSkrib-1.1.0.tar.gz");
    QtScheduler queue_;
    CurlHttpClient http_;
    AppState appState_;
    testing::FakeAlerts alerts_;
    NotingRelaunch processes_;
    std::vector<std::string> panel_;
    bool terminated_ = false;
    std::unique_ptr<AutoUpdater> updater_;
};

// An update accepted by the user, by what stands in its way. Those that cannot install end in
// "Update Failed" and leave the running program as it was.
enum class Way { clear, blockedInstallFolder, readOnlyProgramFolder, redirected, errorPage,
                 unsigned_, wronglySigned, serverGone };

class Updates : public UpdateTest, public ::testing::WithParamInterface<Way> {};

TEST_P(Updates, InstallTheOfferedFolderAndRestartOrLeaveTheProgramAlone) {
    const Way way = GetParam();
    const bool installs = way == Way::clear || way == Way::blockedInstallFolder ||
                          way == Way::readOnlyProgramFolder || way == Way::redirected;
    const fs::path running = way == Way::blockedInstallFolder ? fallback() : primary();
    const fs::path home = way == Way::readOnlyProgramFolder ? fallback() : running;
    copyFolder(releases().installed, running);
    paths_.runningBundle = running.string();
    const std::string image = readFile(releases().image);
    if (way == Way::clear) { // the old fixed paths in /tmp, taken by someone else: no matter
        fs::create_directory_symlink(root_ / "opt", "/tmp/VantuSkrib-Update");
        std::ofstream("/tmp/VantuSkrib-update.tar.gz") << "not the image";
    } else if (way == Way::blockedInstallFolder) { // a file in its place: modes do not stop root
        std::ofstream(root_ / "opt-file") << "not a folder";
        paths_.installFolder = (root_ / "opt-file").string() + "/";
    } else if (way == Way::readOnlyProgramFolder) {
        const std::string opt = (root_ / "opt").string();
        ASSERT_EQ(std::system(("mount --bind " + opt + " " + opt + " && mount -o remount,bind,ro " +
                               opt + " " + opt).c_str()), 0);
    } else if (way == Way::redirected) {
        server_.offer(server_.url("/moved"), 200, image, releases().signature);
    } else if (way == Way::errorPage) {
        server_.offer(download_, 404, "<html><body><h1>404 Not Found</h1></body></html>\n",
                      releases().signature);
    } else if (way == Way::unsigned_) {
        server_.offer(download_, 200, image, "");
    } else if (way == Way::wronglySigned) { // the signature of other bytes
        server_.offer(download_, 200, image.substr(0, image.size() - 1) + "x", releases().signature);
    } else if (way == Way::serverGone) {
        server_.offer("http://127.0.0.1:1/x.tar.gz", 200, "", ""); // nothing listens on port 1
    }

    runUpdate();

    EXPECT_EQ(server_.log().size(), way == Way::serverGone ? 1u : way == Way::redirected ? 3u : 2u);
    EXPECT_THAT(titles(),
                ElementsAre("Update Available", installs ? "Update Installed" : "Update Failed"))
        << alerts_.shown.back().text;
    EXPECT_EQ(alerts_.shown.back().text.find("The new version is in") != std::string::npos,
              way == Way::readOnlyProgramFolder) << alerts_.shown.back().text;
    EXPECT_EQ(terminated_, installs);
    EXPECT_EQ(processes_.relaunched,
              installs ? std::vector{(home / "AppRun").string()} : std::vector<std::string>{});
    EXPECT_EQ(versionOf(home), installs ? "Vantu Skrib 1.1.0\n" : "Vantu Skrib 1.0.0\n");
    EXPECT_EQ(entries(running.parent_path()), 1) << "leftovers beside the program";
    EXPECT_EQ(treeOf(home), treeOf(installs ? releases().offered : releases().installed));
    // What every finished attempt leaves behind, whatever its outcome.
    EXPECT_EQ(updater_->isUpdating(), installs) << "an installed update waits for the restart";
    EXPECT_TRUE(fs::is_empty(paths_.staging)) << "the download's folder is left";
    if (way == Way::clear) {
        EXPECT_EQ(readFile("/tmp/VantuSkrib-update.tar.gz"), "not the image");
        fs::remove("/tmp/VantuSkrib-Update"), fs::remove("/tmp/VantuSkrib-update.tar.gz");
    }
    ASSERT_FALSE(panel_.empty());
    EXPECT_TRUE(panel_.front() == "show" && panel_.back() == "close") << panel_.size();
    EXPECT_EQ(std::count(panel_.begin(), panel_.end(), "close"), 1);
}

INSTANTIATE_TEST_SUITE_P(Update, Updates,
                         ::testing::Values(Way::clear, Way::blockedInstallFolder,
                                           Way::readOnlyProgramFolder, Way::redirected,
                                           Way::errorPage, Way::unsigned_, Way::wronglySigned,
                                           Way::serverGone));

// The program quits (the updater goes) while the new version is being installed: the updater
// waits until the installation has finished or rolled back, and what it reports afterwards is
// dropped. Either way a whole program is in place.
TEST_F(UpdateTest, QuittingWhileItInstallsLeavesAWholeProgram) {
    copyFolder(releases().installed, primary());
    runUpdate([this] { return std::ranges::count(panel_, "status Installing...") > 0; });
    updater_.reset();
    for (int i = 0; i < 10; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const auto tree = treeOf(primary());
    EXPECT_TRUE(tree == treeOf(releases().offered) || tree == treeOf(releases().installed));
    EXPECT_EQ(entries(root_ / "opt"), 1) << "leftovers beside the program";
    EXPECT_TRUE(fs::is_empty(paths_.staging));
    EXPECT_TRUE(processes_.relaunched.empty() && !terminated_);
}

} // namespace
} // namespace skrib
