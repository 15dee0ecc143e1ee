// Pasting into a real Qt program through the clipboard this program serves and synthetic keys,
// also while modifier keys (the hotkey) are still held down.

#include "EventLoop.h"
#include "KeyInjector.h"
#include "PasteTarget.h"
#include "input/x11/X11Desktop.h"

#include <gtest/gtest.h>
#include <ostream>

namespace skrib::testing {
namespace {

class DesktopPasteFixture : public ::testing::Test {
protected:
    // Starts the target and waits until it has the focus.
    bool startTarget(PasteTarget& target) {
        return target.waitUntilShown() && waitUntil([&] {
                   return injector.activeWindow() == target.window() &&
                          injector.focusWindow() == target.window();
               });
    }
    bool waitForText(PasteTarget& target, const std::string& text) {
        return waitUntil([&] { return target.text() == text; });
    }

    KeyInjector injector;
    X11Desktop desktop;
};

struct PasteCase {
    std::string name;
    std::string text;
    std::vector<std::string> held; // keysyms held down while pasting

    friend void PrintTo(const PasteCase& c, std::ostream* out) { *out << c.name; }
};

class DesktopPasteTest : public DesktopPasteFixture,
                         public ::testing::WithParamInterface<PasteCase> {};

TEST_P(DesktopPasteTest, TheActiveWindowReceivesExactlyTheText) {
    PasteTarget target("paste");
    ASSERT_TRUE(startTarget(target));
    std::vector<unsigned> held;
    for (const auto& keysym : GetParam().held) {
        held.push_back(injector.code(keysym));
        ASSERT_NE(held.back(), 0u) << keysym;
        injector.press(held.back());
    }

    desktop.setClipboardText(GetParam().text);
    ASSERT_TRUE(desktop.postPaste());

    EXPECT_TRUE(waitForText(target, GetParam().text)) << "the target holds: " << target.text();
    for (const unsigned code : held) {
        EXPECT_FALSE(injector.isDown(code)) << "key " << code << " still held";
        injector.release(code);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DesktopPasteTest,
    ::testing::Values(PasteCase{"Unicode", "Grüße — naïve ☕ 日本語", {}},
                      PasteCase{"BeyondBasicPlane", "emoji 😀 and 𝄞", {}},
                      PasteCase{"RightSuperHeld", "Grüße — naïve ☕ 日本語", {"Super_R"}},
                      PasteCase{"RightCtrlHeld", "Grüße — naïve ☕ 日本語", {"Control_R"}},
                      PasteCase{"LeftShiftHeld", "shift held", {"Shift_L"}},
                      PasteCase{"LeftAltHeld", "alt held", {"Alt_L"}},
                      PasteCase{"AltGrHeld", "altgr held", {"ISO_Level3_Shift"}},
                      PasteCase{"SuperAndShiftHeld", "two held", {"Super_L", "Shift_R"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(DesktopPasteFixture, EachPasteUsesTheNewClipboardText) {
    PasteTarget target("twice");
    ASSERT_TRUE(startTarget(target));
    desktop.setClipboardText("eins ");
    ASSERT_TRUE(desktop.postPaste());
    ASSERT_TRUE(waitForText(target, "eins ")) << target.text();
    desktop.setClipboardText("zwei");
    ASSERT_TRUE(desktop.postPaste());
    EXPECT_TRUE(waitForText(target, "eins zwei")) << target.text();
}

TEST_F(DesktopPasteFixture, PostReturnPressesReturnInTheTarget) {
    PasteTarget target("return");
    ASSERT_TRUE(startTarget(target));
    desktop.setClipboardText("Zeile");
    ASSERT_TRUE(desktop.postPaste());
    ASSERT_TRUE(waitForText(target, "Zeile")) << target.text();
    ASSERT_TRUE(desktop.postReturn());
    EXPECT_TRUE(waitForText(target, "Zeile\n[return]")) << target.text();
}

} // namespace
} // namespace skrib::testing
