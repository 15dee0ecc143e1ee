#include "update/AutoUpdater.h"

#include "FakeHttp.h"
#include "FakeScheduler.h"
#include "FakeSystem.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace skrib::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Updater : public ::testing::Test {
protected:
    ~Updater() override { std::filesystem::remove_all(staging); }
    AutoUpdater& make() {
        // clang-format off
        updater = std::make_unique<AutoUpdater>(AutoUpdater::Environment{
            "http://127.0.0.1:8787", "0.1.0", "vantuskrib.example", http, queue, appState, alerts,
            processes, {staging, "", "/opt/", ""}, "",
            [this](auto&) { return std::make_unique<FakeProgressView>(panel); }, [] {},
            [this](auto& line) { printed.push_back(line); }});
        // clang-format on
        return *updater;
    }
    void answerLastCheck(const std::string& body) {
        http.respond(http.sent().size() - 1, 200, body);
        queue.runUntilIdle();
    }

    FakeHttpClient http;
    FakeScheduler queue;
    AppState appState;
    FakeAlerts alerts;
    FakeProcessRunner processes;
    std::vector<std::string> panel;
    std::vector<std::string> printed;
    std::unique_ptr<AutoUpdater> updater;
    std::string staging = std::filesystem::temp_directory_path() / ("skrib-staging-" + std::to_string(::getpid()));
};

struct CheckCase {
    const char* name;
    bool silent;
    std::optional<std::string> body; // none: transport error
    std::vector<std::string> printed;
    std::vector<std::string> alerts;
};

class UpdateCheck : public Updater, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(UpdateCheck, TheServiceDecidesAndOnlyAUserCheckReportsNoNews) {
    const auto& c = GetParam();
    alerts.setNextAnswer(1); // "Later" for any offer
    make().checkForUpdate(c.silent);
    EXPECT_EQ(http.sent().at(0).request.url, "http://127.0.0.1:8787/update/check?v=0.1.0");
    if (c.body) {
        http.respond(0, 200, *c.body);
    } else {
        http.fail(0, urlError::notConnectedToInternet, "offline");
    }
    EXPECT_THAT(alerts.shown, IsEmpty()) << "alerts open on the main queue";
    queue.runUntilIdle();
    EXPECT_EQ(printed, c.printed);
    EXPECT_EQ(alerts.titles(), c.alerts);
    EXPECT_EQ(http.sent().size(), 1u) << "declining downloads nothing";
}

const std::string offer = "Update Available: Vantu Skrib 1.2.0 is available. You're currently on "
                          "0.1.0.\n\nWould you like to update now?";
const std::string upToDate = "You're Up to Date: Vantu Skrib 0.1.0 is the latest version.";
const std::string newer = "[update] new version available: 1.2.0 (current: 0.1.0)";
const std::string same = "[update] up to date (0.1.0)";
const std::string available =
    R"({"update_available":true,"latest":"1.2.0","download_url":"http://127.0.0.1:8787/u.tar.gz"})";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, UpdateCheck, ::testing::Values(
    CheckCase{"userAvailable", false, available, {newer}, {offer}},
    CheckCase{"userUpToDate", false, R"({"update_available":false})", {same}, {upToDate}},
    CheckCase{"silentUpToDate", true, R"({"update_available":false})", {}, {}},
    CheckCase{"flagAsText", false, R"({"update_available":"true","latest":"1.2.0","download_url":"http://x/u"})", {same}, {upToDate}},
    CheckCase{"noDownloadUrl", false, R"({"update_available":true,"latest":"1.2.0"})", {same}, {upToDate}},
    CheckCase{"notJson", false, "<html>502</html>", {same}, {upToDate}},
    CheckCase{"userOffline", false, std::nullopt, {"[update] check failed: offline"}, {"Update Check Failed: Couldn't reach the update server. Check your internet connection."}},
    CheckCase{"silentOffline", true, std::nullopt, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Updater, ChecksFiveSecondsAfterLaunchThenHourly) {
    make().startPeriodicChecks();
    for (const auto& [step, checks] :
         {std::pair{4.9, 0u}, {0.1, 1u}, {3594.9, 1u}, {0.1, 2u}, {3600.0, 3u}}) {
        queue.advance(step);
        EXPECT_EQ(http.sent().size(), checks) << queue.absoluteTime();
    }
}

TEST_F(Updater, ASilentOfferWaitsForTheDictationToEndAndKeepsTheNewest) {
    make();
    appState.state.set(SkribState::processing);
    for (const char* version : {"1.2.0", "1.3.0"}) {
        updater->checkForUpdate(true);
        answerLastCheck(std::string(R"({"update_available":true,"latest":")") + version +
                        R"(","download_url":"http://127.0.0.1:8787/u.tar.gz"})");
    }
    appState.state.set(SkribState::listening);
    EXPECT_THAT(alerts.shown, IsEmpty());
    alerts.setNextAnswer(1);
    appState.state.set(SkribState::idle);
    EXPECT_THAT(alerts.shown, IsEmpty()) << "offered after the change to idle, not inside it";
    queue.runUntilIdle();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_THAT(alerts.shown[0].text, ::testing::StartsWith("Vantu Skrib 1.3.0 is available."));
    appState.state.set(SkribState::listening);
    appState.state.set(SkribState::idle);
    queue.runUntilIdle();
    EXPECT_EQ(alerts.shown.size(), 1u) << "offered once";

    alerts.setNextAnswer(1);
    appState.state.set(SkribState::listening);
    updater->checkForUpdate(false);
    answerLastCheck(available);
    EXPECT_EQ(alerts.titles().back(), offer) << "a check the user asked for offers at once";
}

TEST_F(Updater, WhileAnOfferIsOpenOrAnUpdateRunsNothingElseIsOfferedOrStarted) {
    const UpdateOffer offer{"1.2.0", "http://127.0.0.1:8787/u.tar.gz", "", 0};
    make();
    alerts.whileShown = [this] { updater->checkForUpdate(true); }; // the hourly check fires
    updater->showUpdateAlert(offer);
    ASSERT_TRUE(updater->isUpdating());
    EXPECT_EQ(http.sent().size(), 1u) << "the hourly check waited for the offer's answer";
    updater->checkForUpdate(false);
    updater->downloadAndInstall(offer);
    EXPECT_EQ(http.sent().size(), 1u) << "one download, no checks";

    updater->cancelCurrentUpdate(); // Escape
    EXPECT_THAT(panel, ElementsAre("show", "close"));
    EXPECT_TRUE(updater->isUpdating()) << "the download goes on";
    updater->checkForUpdate(false);
    EXPECT_THAT(printed, ElementsAre("[update] already updating, skipping check",
                                     "[update] already updating, skipping check"));
    http.fail(0, urlError::timedOut, "The request timed out.");
    queue.runUntilIdle();
    EXPECT_EQ(alerts.titles().back(), "Update Failed: Download failed: The request timed out.");
    EXPECT_FALSE(updater->isUpdating());
    EXPECT_TRUE(std::filesystem::is_empty(staging)) << "the download's folder is left";
}

} // namespace
} // namespace skrib::testing
