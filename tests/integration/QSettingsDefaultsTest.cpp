#include "platform/qt/QSettingsDefaults.h"

#include "DefaultsContract.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <sstream>

extern std::string gConfigHome;

namespace skrib::testing {
namespace {

std::unique_ptr<Defaults> freshStore() {
    static int counter = 0;
    return std::make_unique<QSettingsDefaults>(gConfigHome + "/contract-" +
                                               std::to_string(++counter) + ".conf");
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
        std::stringstream text; // written at once, not only when the store goes away
        text << std::ifstream(expected).rdbuf();
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
