// The wlroots adapter against a private sway: wl-paste reads what it puts on the clipboard, a
// foot terminal takes its paste and Return, and foreign toplevels name foot's window.

#include "platform/wayland/WlrDesktop.h"

#include "Sway.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace skrib::testing {
namespace {

const std::string text = "Grüße aus Łódź — 東京 ✓ naïve";

std::string contents(const std::string& path) {
    std::stringstream bytes;
    bytes << std::ifstream(path).rdbuf();
    return bytes.str();
}

bool waitFor(const std::function<bool()>& condition) {
    for (int waited = 0; waited < 10000 && !condition(); waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

class WlrDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v sway >/dev/null") != 0) {
            GTEST_SKIP() << "sway is not installed (Debian package sway): no Wayland test";
        }
        sway.emplace();
        ASSERT_EQ(sway->error(), "");
    }
    std::optional<Sway> sway;
};

TEST_F(WlrDesktopTest, OtherProgramsReadTheClipboardAndThePrimarySelection) {
    const auto offered = probeWaylandProtocols();
    ASSERT_TRUE(offered);
    EXPECT_TRUE(offered->dataControl && offered->primarySelection && offered->virtualKeyboard &&
                offered->foreignToplevel);
    WlrDesktop desktop;
    EXPECT_TRUE(desktop.isTrusted());
    desktop.setClipboardText("replaced");
    desktop.setClipboardText(text);
    desktop.setPrimarySelectionText(text);
    const std::string pasted = sway->folder() + "/pasted";
    for (const char* selection : {"", " --primary", ""}) { // the clipboard served twice
        std::system(("wl-paste --no-newline" + std::string(selection) + " > " + pasted).c_str());
        EXPECT_EQ(contents(pasted), text) << selection;
    }
}

TEST_F(WlrDesktopTest, PastesIntoTheFocusedTerminalAndPressesReturn) {
    const std::string received = sway->folder() + "/received";
    const pid_t foot = sway->start("foot sh -c 'stty raw -echo; exec cat > " + received + "'");
    WlrDesktop desktop;
    std::optional<TargetApplication> target;
    ASSERT_TRUE(waitFor([&] {
        target = desktop.frontmostApplication();
        return target && target->name == "foot" && std::filesystem::exists(received);
    })) << "foot's window is not the active one, or its terminal not raw";

    desktop.setClipboardText(text);
    ASSERT_TRUE(desktop.postPaste(PasteKeys::ctrlShiftV));
    ASSERT_TRUE(waitFor([&] { return std::filesystem::file_size(received) >= text.size(); }));
    ASSERT_TRUE(desktop.postReturn());
    waitFor([&] { return std::filesystem::file_size(received) > text.size(); });
    EXPECT_EQ(contents(received), text + "\r"); // nothing of the chord itself

    EXPECT_FALSE(desktop.isTerminated(*target));
    ::kill(foot, SIGTERM);
    EXPECT_TRUE(waitFor([&] { return desktop.isTerminated(*target); }));
}

} // namespace
} // namespace skrib::testing
