#include "platform/qt/QSettingsDefaults.h"

#include "DefaultsContract.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

extern std::string gConfigHome;

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<Defaults> freshStore() {
    static int counter = 0;
    const fs::path file =
        fs::path(gConfigHome) / ("contract-" + std::to_string(++counter) + ".conf");
    return std::make_unique<QSettingsDefaults>(file.string());
}

INSTANTIATE_TEST_SUITE_P(QSettings, DefaultsContract,
                         ::testing::Values(DefaultsFactory(freshStore)));

TEST(QSettingsDefaults, LivesInTheXdgConfigFolderAndSurvivesARestart) {
    const std::string expected = gConfigHome + "/VantuSkrib/VantuSkrib.ini";
    {
        QSettingsDefaults store;
        EXPECT_EQ(store.fileName(), expected);
        store.set("hotkeyOption", "rightControl");
        store.set("hotkeyHoldMode", true);
        store.set("customHotkeyCode", 96);
        store.set("customPrompt", "a, b, \"c\"");
        // Written at once, not only when the store goes away.
        std::ifstream in(expected);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_THAT(text.str(), ::testing::HasSubstr("hotkeyOption=rightControl"));
    }
    QSettingsDefaults reopened;
    EXPECT_EQ(reopened.stringValue("hotkeyOption"), "rightControl");
    EXPECT_EQ(reopened.boolValue("hotkeyHoldMode"), true);
    EXPECT_EQ(reopened.integerValue("customHotkeyCode"), 96);
    EXPECT_EQ(reopened.stringValue("customPrompt"), "a, b, \"c\"");
    reopened.remove("hotkeyOption");
    EXPECT_FALSE(QSettingsDefaults().value("hotkeyOption").has_value());
}

} // namespace
} // namespace skrib::testing
