// The keyboard hook against a real X server: keys pressed through XTEST must reach the handler
// as the program's key codes, event types and modifier flags; Escape is grabbed only while
// asked; and a server that goes away ends the adapters quietly.

#include "X11TestKit.h"
#include "XServer.h"
#include "input/x11/X11Desktop.h"
#include "input/x11/X11KeyTranslator.h"
#include "input/x11/X11KeyboardHook.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <map>
#include <set>

namespace skrib::testing {
namespace {

constexpr std::uint64_t ctrl = keyFlags::control;
constexpr std::uint64_t shift = keyFlags::shift;
constexpr std::uint64_t alt = keyFlags::option;
constexpr std::uint64_t super = keyFlags::command;
constexpr std::uint64_t caps = keyFlags::capsLock;

// Pause: unused by the window manager and by every case; Print starts a program in it.
constexpr unsigned markerKey = KEY_PAUSE + 8;
constexpr unsigned printKey = KEY_SYSRQ + 8;

// "down 8 262144": key events as text, so that a failed comparison reads well.
std::string text(KeyEvent::Type type, unsigned code, std::uint64_t flags) {
    const char* name = type == KeyEvent::Type::keyDown ? "down"
                       : type == KeyEvent::Type::keyUp ? "up"
                                                       : "flags";
    return std::string(name) + " " + std::to_string(code) + " " + std::to_string(flags);
}
std::string down(unsigned code, std::uint64_t flags = 0) {
    return text(KeyEvent::Type::keyDown, code, flags);
}
std::string up(unsigned code, std::uint64_t flags = 0) {
    return text(KeyEvent::Type::keyUp, code, flags);
}
std::string flags(unsigned code, std::uint64_t value) {
    return text(KeyEvent::Type::flagsChanged, code, value);
}

// A key step by keysym: "+Control_R" presses, "-Control_R" releases.
using Steps = std::vector<std::string>;

/// A hook on the test display, a key injector, and the events the hook delivers. Keys a test
/// pressed are released, and the locks switched off, after each test.
class HookFixture : public ::testing::Test {
protected:
    void TearDown() override {
        for (const unsigned code : pressed_) {
            injector.release(code);
        }
        injector.setLocks(false, false);
    }

    bool start() {
        return hook.start([this](const KeyEvent& e) {
            seen.push_back(text(e.type, e.keyCode, e.flags));
        });
    }

    void key(unsigned code, bool press) {
        if (press) {
            pressed_.insert(code);
            injector.press(code);
        } else {
            injector.release(code);
        }
    }

    void run(const Steps& steps) {
        for (const std::string& step : steps) {
            const unsigned code = injector.code(step.substr(1));
            ASSERT_NE(code, 0u) << "the layout has no key for " << step;
            key(code, step[0] == '+');
        }
    }

    /// Presses and releases the marker key, waits until the hook delivers its release, and
    /// answers what came before it: every event of the keys pressed before it.
    std::vector<std::string> eventsBeforeMarker() {
        // Its release, whatever the lock state.
        const std::string marker =
            "up " + std::to_string(X11KeyTranslator::virtualKeyCode(markerKey)) + " ";
        injector.press(markerKey);
        injector.release(markerKey);
        EXPECT_TRUE(waitUntil([&] {
            return !seen.empty() && seen.back().starts_with(marker);
        }));
        std::vector<std::string> events = std::move(seen);
        events.resize(events.size() >= 2 ? events.size() - 2 : 0);
        seen.clear();
        return events;
    }

    TestClient injector;
    X11KeyboardHook hook;
    std::vector<std::string> seen;

private:
    std::set<unsigned> pressed_;
};

// --- Sequences: event types, modifier flags, repeats, stray releases, state at start ---------

struct SequenceCase {
    std::string name;
    Steps beforeStart;
    Steps steps;
    std::vector<std::string> expected;
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
        SequenceCase{"RightCtrlTapped",
                     {},
                     {"+Control_R", "-Control_R"},
                     {flags(62, ctrl), flags(62, 0)}},
        SequenceCase{"RightCtrlHeldRepeatsNothingAndReleasesOnce",
                     {},
                     {"+Control_R", "+Control_R", "+Control_R", "-Control_R", "-Control_R"},
                     {flags(62, ctrl), flags(62, 0)}},
        SequenceCase{"RightCtrlHeldBeforeStart",
                     {"+Control_R"},
                     {"+c", "-c", "-Control_R"},
                     {down(8, ctrl), up(8, ctrl), flags(62, 0)}},
        SequenceCase{"ShiftAltSuperTogether",
                     {},
                     {"+Shift_L", "+Alt_L", "+Super_R", "+x", "-x", "-Shift_L", "-Alt_L",
                      "-Super_R"},
                     {flags(56, shift), flags(58, shift | alt),
                      flags(54, shift | alt | super), down(7, shift | alt | super),
                      up(7, shift | alt | super), flags(56, alt | super),
                      flags(58, super), flags(54, 0)}},
        SequenceCase{"LayoutAltGrCountsAsAlt",
                     {},
                     {"+ISO_Level3_Shift", "+q", "-q", "-ISO_Level3_Shift"},
                     {flags(0x1000 + 92, alt), down(12, alt), up(12, alt),
                      flags(0x1000 + 92, 0)}},
        SequenceCase{"KeyRepeatsWhileHeldAndStrayReleasesAreDropped",
                     {"+k"},
                     {"-k", "+z", "+z", "-z", "-z", "-b"},
                     {up(40), down(6), down(6), up(6)}},
        SequenceCase{"CapsLockOnBeforeStartThenToggled",
                     {"+Caps_Lock", "-Caps_Lock"},
                     {"+a", "-a", "+Caps_Lock", "+Caps_Lock", "-Caps_Lock", "+a", "-a"},
                     {down(0, caps), up(0, caps), flags(57, 0), down(0), up(0)}}),
    [](const auto& info) { return info.param.name; });

// --- Every key of the server ------------------------------------------------------------------

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
    // lock goes on).
    std::map<unsigned, int> count;
    for (const auto& event : events) {
        ++count[std::stoul(event.substr(event.find(' ') + 1))];
    }
    EXPECT_EQ(count[keyCodes::capsLock], 1);
    count.erase(keyCodes::capsLock);
    for (const auto& [code, n] : count) {
        // Insert and Help are one key; every other key has its own code.
        EXPECT_EQ(n, code == 114 ? 4 : 2) << "virtual code " << code;
    }
    EXPECT_EQ(events.size(), 2u * (255 - 8 + 1 - 2) - 1);
}

// --- Escape, grabbed while dictating ----------------------------------------------------------

using KeyboardHookEscapeGrabTest = HookFixture;

TEST_F(KeyboardHookEscapeGrabTest, EscapeIsKeptFromTheFocusedWindowOnlyWhileGrabbed) {
    const unsigned long window = injector.openWindow("client");
    ASSERT_TRUE(waitUntil([&] { return injector.focusWindow() == window; }));
    ASSERT_TRUE(start());
    const unsigned escape = injector.code("Escape");
    for (const auto& [capsLock, numLock] : {std::pair{false, false}, std::pair{true, false},
                                            std::pair{false, true}, std::pair{true, true}}) {
        SCOPED_TRACE(::testing::Message() << "Caps Lock " << capsLock << ", Num Lock " << numLock);
        injector.setLocks(capsLock, numLock);
        eventsBeforeMarker(); // the lock keys' own events
        const std::uint64_t lock = capsLock ? caps : 0;
        const std::vector<std::string> expected{down(53, lock), up(53, lock)};
        const long before = injector.pressesInWindows(escape);

        hook.setEscapeGrabbed(true);
        run({"+Escape", "-Escape"});
        EXPECT_EQ(eventsBeforeMarker(), expected) << "the hook still hears Escape";
        EXPECT_EQ(injector.pressesInWindows(escape), before) << "Escape reached the window while grabbed";

        hook.setEscapeGrabbed(false);
        run({"+Escape", "-Escape"});
        EXPECT_EQ(eventsBeforeMarker(), expected);
        EXPECT_EQ(injector.pressesInWindows(escape), before + 1) << "Escape still grabbed";
    }
}

// --- The server going away --------------------------------------------------------------------

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
