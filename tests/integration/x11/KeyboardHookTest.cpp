// The keyboard hook against a real X server: keys pressed through XTEST must reach the handler
// as the program's key codes, event types and modifier flags; Escape is grabbed only while
// asked; and a server that goes away ends the adapters quietly.

#include "X11TestKit.h"
#include "XServer.h"
#include "input/x11/X11Desktop.h"
#include "input/x11/X11KeyTranslator.h"
#include "input/x11/X11KeyboardHook.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <map>
#include <set>

namespace skrib::testing {
namespace {

// Pause: unused by the window manager and by every case; Print starts a program in it.
constexpr unsigned markerKey = KEY_PAUSE + 8;
constexpr unsigned printKey = KEY_SYSRQ + 8;

// "down 8 C": an event as text, its flags as letters (Ctrl, Shift, Alt, Meta/Super, Lock).
std::string text(const KeyEvent& event) {
    std::string flags;
    for (const auto& [flag, letter] : {std::pair{keyFlags::control, 'C'},
                                       {keyFlags::shift, 'S'},
                                       {keyFlags::option, 'A'},
                                       {keyFlags::command, 'M'},
                                       {keyFlags::capsLock, 'L'}}) {
        flags += (event.flags & flag) != 0 ? std::string(1, letter) : "";
    }
    const char* type = event.type == KeyEvent::Type::keyDown ? "down"
                       : event.type == KeyEvent::Type::keyUp ? "up"
                                                             : "flags";
    return type + (" " + std::to_string(event.keyCode)) + " " + (flags.empty() ? "-" : flags);
}

/// A hook on the test display, another client as the keyboard, and what the hook delivers.
/// Keys a test pressed are released, and the locks switched off, after each test.
class HookFixture : public ::testing::Test {
protected:
    void TearDown() override {
        for (const unsigned code : pressed_) {
            client.release(code);
        }
        client.setLocks(false, false);
    }

    bool start() {
        return hook.start([this](const KeyEvent& event) { seen.push_back(text(event)); });
    }

    void key(unsigned code, bool press) {
        pressed_.insert(code);
        press ? client.press(code) : client.release(code);
    }

    /// Steps by keysym: "+Control_R" presses, "-Control_R" releases.
    void run(const std::vector<std::string>& steps) {
        for (const std::string& step : steps) {
            const unsigned code = client.code(step.substr(1));
            ASSERT_NE(code, 0u) << "the layout has no key for " << step;
            key(code, step[0] == '+');
        }
    }

    /// Taps the marker key and waits for its release: what the hook delivered before it is
    /// then every event of the keys pressed before it.
    std::vector<std::string> eventsBeforeMarker() {
        const std::string marker =
            "up " + std::to_string(X11KeyTranslator::virtualKeyCode(markerKey)) + " ";
        client.press(markerKey);
        client.release(markerKey);
        EXPECT_TRUE(waitUntil([&] { return !seen.empty() && seen.back().starts_with(marker); }));
        std::vector<std::string> events = std::move(seen);
        events.resize(events.size() >= 2 ? events.size() - 2 : 0);
        seen.clear();
        return events;
    }

    TestClient client;
    X11KeyboardHook hook;
    std::vector<std::string> seen;

private:
    std::set<unsigned> pressed_;
};

struct SequenceCase {
    std::string name;
    std::vector<std::string> beforeStart, steps, expected;
};

class KeyboardHookSequenceTest : public HookFixture,
                                 public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(KeyboardHookSequenceTest, DeliversTheKeysAsTheProgramsEvents) {
    run(GetParam().beforeStart);
    ASSERT_TRUE(start());
    run(GetParam().steps);
    EXPECT_EQ(eventsBeforeMarker(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyboardHookSequenceTest,
    ::testing::Values(
        SequenceCase{
            "RightCtrlTapped", {}, {"+Control_R", "-Control_R"}, {"flags 62 C", "flags 62 -"}},
        SequenceCase{"RightCtrlHeldRepeatsNothingAndReleasesOnce",
                     {},
                     {"+Control_R", "+Control_R", "+Control_R", "-Control_R", "-Control_R"},
                     {"flags 62 C", "flags 62 -"}},
        SequenceCase{"RightCtrlHeldBeforeStart",
                     {"+Control_R"},
                     {"+c", "-c", "-Control_R"},
                     {"down 8 C", "up 8 C", "flags 62 -"}},
        SequenceCase{
            "ShiftAltSuperTogether",
            {},
            {"+Shift_L", "+Alt_L", "+Super_R", "+x", "-x", "-Shift_L", "-Alt_L", "-Super_R"},
            {"flags 56 S", "flags 58 SA", "flags 54 SAM", "down 7 SAM", "up 7 SAM", "flags 56 AM",
             "flags 58 M", "flags 54 -"}},
        // The layout's virtual AltGr key (X key code 92) has no name in the vocabulary.
        SequenceCase{"LayoutAltGrCountsAsAlt",
                     {},
                     {"+ISO_Level3_Shift", "+q", "-q", "-ISO_Level3_Shift"},
                     {"flags 4188 A", "down 12 A", "up 12 A", "flags 4188 -"}},
        SequenceCase{"KeyRepeatsWhileHeldAndStrayReleasesAreDropped",
                     {"+k"},
                     {"-k", "+z", "+z", "-z", "-z", "-b"},
                     {"up 40 -", "down 6 -", "down 6 -", "up 6 -"}},
        SequenceCase{"CapsLockOnBeforeStartThenToggled",
                     {"+Caps_Lock", "-Caps_Lock"},
                     {"+a", "-a", "+Caps_Lock", "+Caps_Lock", "-Caps_Lock", "+a", "-a"},
                     {"down 0 L", "up 0 L", "flags 57 -", "down 0 -", "up 0 -"}}),
    [](const auto& info) { return info.param.name; });

using KeyboardHookEveryKeyTest = HookFixture;

TEST_F(KeyboardHookEveryKeyTest, EachKeyCodeGetsOneVirtualCodeOfItsOwn) {
    ASSERT_TRUE(start());
    for (unsigned code = 8; code <= 255; ++code) {
        if (code != printKey && code != markerKey) {
            key(code, true);
            key(code, false);
        }
    }
    const auto events = eventsBeforeMarker();
    // Ordinary keys give a press and a release, modifiers two flag changes, Caps Lock one (the
    // lock goes on). Insert and Help are one key; every other key has its own code.
    std::map<unsigned, int> count;
    for (const auto& event : events) {
        ++count[std::stoul(event.substr(event.find(' ') + 1))];
    }
    EXPECT_EQ(count[keyCodes::capsLock], 1);
    count.erase(keyCodes::capsLock);
    for (const auto& [code, n] : count) {
        EXPECT_EQ(n, code == 114 ? 4 : 2) << "virtual code " << code;
    }
    EXPECT_EQ(events.size(), 2u * (255 - 8 + 1 - 2) - 1);
}

using KeyboardHookEscapeGrabTest = HookFixture;

TEST_F(KeyboardHookEscapeGrabTest, EscapeIsKeptFromTheFocusedWindowOnlyWhileGrabbed) {
    const unsigned long window = client.openWindow("focused");
    ASSERT_TRUE(waitUntil([&] { return client.focusWindow() == window; }));
    ASSERT_TRUE(start());
    const unsigned escape = client.code("Escape");
    for (const auto& [capsLock, numLock] : {std::pair{false, false}, std::pair{true, false},
                                            std::pair{false, true}, std::pair{true, true}}) {
        SCOPED_TRACE(::testing::Message() << "Caps Lock " << capsLock << ", Num Lock " << numLock);
        client.setLocks(capsLock, numLock);
        eventsBeforeMarker(); // the lock keys' own events
        const std::vector<std::string> expected{capsLock ? "down 53 L" : "down 53 -",
                                                capsLock ? "up 53 L" : "up 53 -"};
        const long before = client.pressesInWindows(escape);

        hook.setEscapeGrabbed(true);
        run({"+Escape", "-Escape"});
        EXPECT_EQ(eventsBeforeMarker(), expected) << "the hook no longer hears Escape";
        EXPECT_EQ(client.pressesInWindows(escape), before) << "Escape reached the window";

        hook.setEscapeGrabbed(false);
        run({"+Escape", "-Escape"});
        EXPECT_EQ(eventsBeforeMarker(), expected);
        EXPECT_EQ(client.pressesInWindows(escape), before + 1) << "Escape still grabbed";
    }
}

TEST(ServerGoneTest, AdaptersStopQuietly) {
    XServer::Options options;
    options.windowManager = false;
    auto server = std::make_unique<XServer>(options);
    ASSERT_TRUE(server->ok()) << server->error();
    X11KeyboardHook hook(server->display());
    X11Desktop desktop(server->display());
    int delivered = 0;
    ASSERT_TRUE(hook.start([&](const KeyEvent&) { ++delivered; }));
    hook.setEscapeGrabbed(true);
    ASSERT_TRUE(desktop.isTrusted());

    server.reset();

    // Only the socket's end tells the hook; it must notice it by itself.
    EXPECT_TRUE(waitUntil([&] { return !hook.isTrusted(); }));
    EXPECT_EQ(delivered, 0);
    hook.setEscapeGrabbed(false);
    hook.stop();
    EXPECT_FALSE(hook.start([&](const KeyEvent&) { ++delivered; }));
    EXPECT_FALSE(desktop.postPaste());
    EXPECT_FALSE(desktop.isTrusted());
    EXPECT_FALSE(desktop.frontmostApplication().has_value());
    desktop.activate({0x200001, 0, ""});
    EXPECT_TRUE(desktop.isTerminated({0x200001, 0, ""}));
}

} // namespace
} // namespace skrib::testing
