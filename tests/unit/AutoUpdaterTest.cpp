#include "update/AutoUpdater.h"

#include "FakeHttp.h"
#include "FakeScheduler.h"
#include "FakeSystem.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Updater : public ::testing::Test {
protected:
    Updater() {
        char pattern[] = "/tmp/skrib-update-XXXXXX";
        root = ::mkdtemp(pattern);
        paths.imageCopy = (root / "VantuSkrib-update.tar.gz").string();
        paths.mountPoint = (root / "mnt").string();
        paths.installFolder = (root / "opt").string() + "/";
        paths.fallbackInstallFolder = (root / "home/Applications").string() + "/";
        // By default the "tool" unpacks a bundle and a plain folder into the mount point.
        processes.onRun = [this](const std::string&, const std::vector<std::string>& args) {
            extractedFrom = readFile(args.at(1));
            const fs::path into = args.at(3);
            fs::create_directories(into / "docs");
            fs::create_directories(into / "VantuSkrib.app");
            std::ofstream(into / "VantuSkrib.app/AppRun") << "new version";
            return ProcessRunner::Result{true, 0, "", ""};
        };
    }
    ~Updater() override { fs::remove_all(root); }

    AutoUpdater& make(std::string version = "0.1.0") {
        updater = std::make_unique<AutoUpdater>(AutoUpdater::Environment{
            "http://127.0.0.1:8787", std::move(version), "vantuskrib.example", http, queue,
            appState, alerts, processes, paths,
            [this](const std::string& v) {
                panel.push_back("create " + v);
                return std::make_unique<FakeProgressView>(panel);
            },
            [](std::function<void()> work) { work(); }, [this] { ++terminations; },
            [this](const std::string& line) { printed.push_back(line); }});
        return *updater;
    }
    static std::string readFile(const fs::path& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::size_t> checks() const {
        std::vector<std::size_t> out;
        const auto sent = http.sent();
        for (std::size_t i = 0; i < sent.size(); ++i) {
            if (sent[i].request.url.find("/update/check?v=") != std::string::npos) {
                out.push_back(i);
            }
        }
        return out;
    }
    // Accepts an offer of 1.2.0 and answers the download with `body`.
    void acceptAndDownload(const std::string& body = "image bytes") {
        alerts.setNextAnswer(0);
        updater->showUpdateAlert("1.2.0", "http://127.0.0.1:8787/releases/1.2.0.tar.gz");
        const auto index = http.sent().size() - 1;
        ASSERT_EQ(http.sent()[index].request.url, "http://127.0.0.1:8787/releases/1.2.0.tar.gz");
        http.respond(index, 200, body);
        queue.runUntilIdle();
    }
    void expectCleanFailure(const std::string& alertText) {
        ASSERT_FALSE(alerts.shown.empty());
        EXPECT_EQ(alerts.shown.back().title, "Update Failed");
        EXPECT_EQ(alerts.shown.back().text, alertText);
        EXPECT_EQ(alerts.shown.back().style, Alert::Style::warning);
        EXPECT_FALSE(updater->isUpdating());
        EXPECT_EQ(panel.back(), "close");
        EXPECT_FALSE(fs::exists(paths.mountPoint)) << "the extracted folder is removed";
        EXPECT_EQ(terminations, 0) << "a failure leaves the program running";
    }

    fs::path root;
    AutoUpdater::Paths paths;
    FakeHttpClient http;
    FakeScheduler queue;
    AppState appState;
    FakeAlerts alerts;
    FakeProcessRunner processes;
    std::vector<std::string> panel;
    std::vector<std::string> printed;
    std::string extractedFrom;
    int terminations = 0;
    std::unique_ptr<AutoUpdater> updater;
};

// MARK: - Checks

struct CheckCase {
    const char* name;
    bool silent;
    std::optional<std::string> body; // none: transport error
    std::vector<std::string> printed;
    std::vector<std::string> alerts;
};

class UpdateCheck : public Updater, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(UpdateCheck, AnswersAreReportedOnlyWhenTheUserAsked) {
    const auto& c = GetParam();
    alerts.setNextAnswer(1); // "Later" for any offer
    make().checkForUpdate(c.silent);
    const auto index = checks().at(0);
    EXPECT_EQ(http.sent()[index].request.url, "http://127.0.0.1:8787/update/check?v=0.1.0");
    EXPECT_EQ(http.sent()[index].session, 0);
    if (c.body) {
        http.respond(index, 200, *c.body);
    } else {
        http.fail(index, urlError::notConnectedToInternet,
                  "The Internet connection appears to be offline.");
    }
    EXPECT_THAT(alerts.shown, IsEmpty()) << "alerts open on the main queue";
    queue.runUntilIdle();
    EXPECT_EQ(printed, c.printed) << c.name;
    EXPECT_EQ(alerts.titles(), c.alerts) << c.name;
    EXPECT_EQ(http.sent().size(), 1u) << "declining downloads nothing";
}

const std::string offer = "Update Available: Vantu Skrib 1.2.0 is available. You're currently on "
                          "0.1.0.\n\nWould you like "
                          "to update now?";
const std::string upToDate = "You're Up to Date: Vantu Skrib 0.1.0 is the latest version.";
const std::string available =
    R"({"update_available":true,"latest":"1.2.0","download_url":"http://127.0.0.1:8787/u.tar.gz"})";

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateCheck,
    ::testing::Values(
        CheckCase{"userAvailable",
                  false,
                  available,
                  {"[update] new version available: 1.2.0 (current: 0.1.0)"},
                  {offer}},
        CheckCase{"silentAvailable",
                  true,
                  available,
                  {"[update] new version available: 1.2.0 (current: 0.1.0)"},
                  {offer}},
        CheckCase{"userUpToDate",
                  false,
                  R"({"update_available":false})",
                  {"[update] up to date (0.1.0)"},
                  {upToDate}},
        CheckCase{"silentUpToDate", true, R"({"update_available":false})", {}, {}},
        CheckCase{"flagAsText",
                  false,
                  R"({"update_available":"true","latest":"1.2.0","download_url":"http://x/u"})",
                  {"[update] up to date (0.1.0)"},
                  {upToDate}},
        CheckCase{"noDownloadUrl",
                  false,
                  R"({"update_available":true,"latest":"1.2.0"})",
                  {"[update] up to date (0.1.0)"},
                  {upToDate}},
        CheckCase{
            "notJson", false, "<html>502</html>", {"[update] up to date (0.1.0)"}, {upToDate}},
        CheckCase{"userOffline",
                  false,
                  std::nullopt,
                  {"[update] check failed: The Internet connection appears to be offline."},
                  {"Update Check Failed: Couldn't reach the update server. Check your internet "
                   "connection."}},
        CheckCase{"silentOffline", true, std::nullopt, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Updater, WithoutAVersionTheCheckSendsZeros) {
    make("").checkForUpdate(true);
    EXPECT_EQ(http.sent().at(0).request.url, "http://127.0.0.1:8787/update/check?v=0.0.0");
}

TEST_F(Updater, ChecksFiveSecondsAfterLaunchThenHourly) {
    make().startPeriodicChecks();
    queue.advance(4.9);
    EXPECT_THAT(checks(), IsEmpty());
    queue.advance(0.1);
    EXPECT_EQ(checks().size(), 1u);
    queue.advance(3600 - 5 - 0.1);
    EXPECT_EQ(checks().size(), 1u);
    queue.advance(0.1);
    EXPECT_EQ(checks().size(), 2u);
    queue.advance(3600);
    EXPECT_EQ(checks().size(), 3u);
}

TEST_F(Updater, ASilentOfferWaitsForTheDictationToEndAndKeepsTheNewest) {
    alerts.setNextAnswer(1);
    make();
    appState.state.set(SkribState::processing);
    for (const char* version : {"1.2.0", "1.3.0"}) {
        updater->checkForUpdate(true);
        http.respond(checks().back(), 200,
                     std::string(R"({"update_available":true,"latest":")") + version +
                         R"(","download_url":"http://127.0.0.1:8787/u.tar.gz"})");
        queue.runUntilIdle();
    }
    EXPECT_THAT(alerts.shown, IsEmpty());
    appState.state.set(SkribState::listening);
    EXPECT_THAT(alerts.shown, IsEmpty());
    appState.state.set(SkribState::idle);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_THAT(alerts.shown[0].text, ::testing::StartsWith("Vantu Skrib 1.3.0 is available."));
    appState.state.set(SkribState::listening);
    appState.state.set(SkribState::idle);
    EXPECT_EQ(alerts.shown.size(), 1u) << "offered once";
}

TEST_F(Updater, AUserCheckWhileListeningOffersAtOnce) {
    alerts.setNextAnswer(1);
    make();
    appState.state.set(SkribState::listening);
    updater->checkForUpdate(false);
    http.respond(0, 200, available);
    queue.runUntilIdle();
    EXPECT_EQ(alerts.titles(), std::vector<std::string>{offer});
}

TEST_F(Updater, ChecksDuringAnUpdateAreSkipped) {
    make();
    alerts.setNextAnswer(0);
    updater->showUpdateAlert("1.2.0", "http://127.0.0.1:8787/u.tar.gz");
    ASSERT_TRUE(updater->isUpdating());
    const auto requests = http.sent().size();
    updater->checkForUpdate(true);
    EXPECT_TRUE(printed.empty());
    updater->checkForUpdate(false);
    EXPECT_THAT(printed, ElementsAre("[update] already updating, skipping check"));
    EXPECT_EQ(http.sent().size(), requests);
    updater->downloadAndInstall("http://127.0.0.1:8787/u.tar.gz", "1.2.0");
    EXPECT_EQ(http.sent().size(), requests) << "a second acceptance does nothing";
}

// MARK: - Installation

TEST_F(Updater, InstallsTheBundleRelaunchesItAndQuits) {
    make();
    fs::create_directories(fs::path(paths.mountPoint) / "Stale.app"); // from an earlier attempt
    acceptAndDownload();
    EXPECT_EQ(extractedFrom, "image bytes");
    ASSERT_EQ(processes.runs.size(), 1u);
    EXPECT_EQ(processes.runs[0],
              (std::vector<std::string>{"/usr/bin/tar", "-xzf", paths.imageCopy, "-C",
                                        paths.mountPoint, "--no-same-owner"}));
    const fs::path installed = root / "opt/VantuSkrib.app";
    EXPECT_EQ(readFile(installed / "AppRun"), "new version");
    EXPECT_FALSE(fs::exists(root / "opt/Stale.app")) << "the stale folder was cleared first";
    EXPECT_FALSE(fs::exists(root / "opt/docs"));
    EXPECT_FALSE(fs::exists(paths.mountPoint));
    EXPECT_FALSE(fs::exists(paths.imageCopy));
    EXPECT_THAT(panel, ElementsAre("create 1.2.0", "show", "status Installing...", "close"));
    EXPECT_EQ(alerts.titles().back(),
              "Update Installed: Vantu Skrib has been updated. The app will now restart.");
    EXPECT_EQ(alerts.shown.back().buttons, std::vector<std::string>{"Restart"});
    EXPECT_THAT(processes.detached,
                ElementsAre(std::vector<std::string>{(installed / "AppRun").string()}));
    EXPECT_EQ(terminations, 0);
    queue.advance(0.5);
    EXPECT_EQ(terminations, 1);
}

TEST_F(Updater, AnUnwritableInstallFolderFallsBackToTheHomeFolder) {
    std::ofstream(root / "blocked") << "a file, so nothing can be created below it";
    paths.installFolder = (root / "blocked/opt").string() + "/";
    make();
    acceptAndDownload();
    const fs::path installed = root / "home/Applications/VantuSkrib.app";
    EXPECT_EQ(readFile(installed / "AppRun"), "new version");
    EXPECT_THAT(processes.detached,
                ElementsAre(std::vector<std::string>{(installed / "AppRun").string()}));
}

TEST_F(Updater, EscapeHidesThePanelButTheUpdateGoesOn) {
    make();
    alerts.setNextAnswer(0);
    updater->showUpdateAlert("1.2.0", "http://127.0.0.1:8787/u.tar.gz");
    updater->cancelCurrentUpdate();
    EXPECT_FALSE(updater->isUpdating());
    http.respond(http.sent().size() - 1, 200, "bytes");
    queue.advance(1.0);
    EXPECT_EQ(alerts.shown.back().title, "Update Installed");
}

struct FailureCase {
    const char* name;
    std::function<void(Updater&)> arrange;
    std::string alert;
    std::vector<std::string> printed;
};

class UpdateFailure : public Updater, public ::testing::WithParamInterface<FailureCase> {
public:
    void setTool(
        std::function<ProcessRunner::Result(const std::string&, const std::vector<std::string>&)>
            f) {
        processes.onRun = std::move(f);
    }
    void blockBothInstallFolders() {
        std::ofstream(root / "blocked") << "x";
        paths.installFolder = (root / "blocked/opt").string() + "/";
        paths.fallbackInstallFolder = (root / "blocked/home").string() + "/";
    }
};

TEST_P(UpdateFailure, EndsInOneAlertAndLeavesTheProgramAsItWas) {
    GetParam().arrange(*this);
    make();
    if (std::string(GetParam().name) == "download") {
        alerts.setNextAnswer(0);
        updater->showUpdateAlert("1.2.0", "http://127.0.0.1:8787/u.tar.gz");
        http.fail(http.sent().size() - 1, urlError::timedOut, "The request timed out.");
        queue.advance(1);
    } else {
        acceptAndDownload("<html>404 Not Found</html>");
    }
    expectCleanFailure(GetParam().alert);
    EXPECT_EQ(printed, GetParam().printed);
    EXPECT_FALSE(fs::exists(paths.imageCopy));
    EXPECT_THAT(processes.detached, IsEmpty());
    EXPECT_EQ(std::count_if(alerts.shown.begin(), alerts.shown.end(),
                            [](const Alert& a) { return a.title == "Update Failed"; }),
              1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateFailure,
    ::testing::Values(
        FailureCase{"download", [](Updater&) {}, "Download failed: The request timed out.", {}},
        FailureCase{
            "toolMissing",
            [](Updater& u) {
                static_cast<UpdateFailure&>(u).setTool([](auto&, auto&) {
                    return ProcessRunner::Result{false, -1, "", "No such file or directory"};
                });
            },
            "Failed to mount update image: No such file or directory",
            {}},
        FailureCase{
            "notAnImage",
            [](Updater& u) {
                static_cast<UpdateFailure&>(u).setTool([](auto&, auto&) {
                    return ProcessRunner::Result{true, 2, "gzip: stdin: not in gzip format", ""};
                });
            },
            "Failed to mount update image. Please download manually from vantuskrib.example",
            {"[update] tar extract failed (2): gzip: stdin: not in gzip format"}},
        FailureCase{"noBundle",
                    [](Updater& u) {
                        static_cast<UpdateFailure&>(u).setTool(
                            [](auto&, const std::vector<std::string>& a) {
                                fs::create_directories(fs::path(a.at(3)) / "VantuSkrib.app.bak/x");
                                return ProcessRunner::Result{true, 0, "", ""};
                            });
                    },
                    "No app found in update image.",
                    {}},
        FailureCase{"bothCopiesFail",
                    [](Updater& u) { static_cast<UpdateFailure&>(u).blockBothInstallFolders(); },
                    "Failed to install: Not a directory",
                    {}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace skrib::testing
