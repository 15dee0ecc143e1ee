// The wlroots adapter against a private sway: wl-paste reads what it puts on the clipboard, a
// foot terminal takes its paste and Return, and foreign toplevels name foot's window.

#include "platform/wayland/WlrDesktop.h"

#include "Sway.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace skrib::testing {
namespace {

const std::string text = "Grüße aus Łódź — 東京 ✓ naïve";

std::string output(const std::string& command) {
    std::string read;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
        read.append(buffer, n);
    }
    ::pclose(pipe);
    return read;
}

bool waitFor(const std::function<bool()>& condition) {
    for (int waited = 0; waited < 10000; waited += 20) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class WlrDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Sway::installed()) {
            GTEST_SKIP() << "sway is not installed (Debian package sway): no Wayland test";
        }
        sway.emplace();
        ASSERT_TRUE(sway->ok()) << sway->error();
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
    EXPECT_EQ(output("wl-paste --no-newline"), text);
    EXPECT_EQ(output("wl-paste --no-newline --primary"), text);
    EXPECT_EQ(output("wl-paste --no-newline"), text); // still served
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
    std::stringstream bytes;
    bytes << std::ifstream(received).rdbuf();
    EXPECT_EQ(bytes.str(), text + "\r"); // nothing of the chord itself

    EXPECT_FALSE(desktop.isTerminated(*target));
    ::kill(foot, SIGTERM);
    EXPECT_TRUE(waitFor([&] { return desktop.isTerminated(*target); }));
}

} // namespace
} // namespace skrib::testing
