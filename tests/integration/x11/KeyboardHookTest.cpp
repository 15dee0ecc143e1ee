// The keyboard hook against a real X server: keys pressed through XTEST must reach the handler
// as the program's key codes, event types and modifier flags.

#include "EventLoop.h"
#include "HookFixture.h"
#include "input/x11/X11KeyTranslator.h"

#include <cctype>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <map>
#include <ostream>

namespace skrib::testing {
namespace {

constexpr std::uint64_t ctrl = keyFlags::control;
constexpr std::uint64_t shift = keyFlags::shift;
constexpr std::uint64_t alt = keyFlags::option;
constexpr std::uint64_t super = keyFlags::command;
constexpr std::uint64_t caps = keyFlags::capsLock;

std::string testName(std::string name) {
    for (char& c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            c = '_';
        }
    }
    return name;
}

// --- Sequences: event types, modifier flags, repeats and stray releases ---------------------

struct SequenceCase {
    std::string name;
    std::vector<Step> steps;
    std::vector<KeyEvent> expected;

    friend void PrintTo(const SequenceCase& c, std::ostream* out) { *out << c.name; }
};

class KeyboardHookSequenceTest : public HookFixture,
                                 public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(KeyboardHookSequenceTest, DeliversTheKeysAsTheProgramsEvents) {
    ASSERT_TRUE(hook.start(recorder()));
    run(GetParam().steps);
    ASSERT_TRUE(waitForMarker());
    EXPECT_EQ(texts(eventsBeforeMarker()), texts(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyboardHookSequenceTest,
    ::testing::Values(
        SequenceCase{"RightCtrl",
                     {down("Control_R"), up("Control_R")},
                     {flagsChanged(62, ctrl), flagsChanged(62, 0)}},
        SequenceCase{"RightSuper",
                     {down("Super_R"), up("Super_R")},
                     {flagsChanged(54, super), flagsChanged(54, 0)}},
        SequenceCase{"LeftSuper",
                     {down("Super_L"), up("Super_L")},
                     {flagsChanged(55, super), flagsChanged(55, 0)}},
        SequenceCase{
            "LeftAlt", {down("Alt_L"), up("Alt_L")}, {flagsChanged(58, alt), flagsChanged(58, 0)}},
        SequenceCase{
            "RightAlt", {down("Alt_R"), up("Alt_R")}, {flagsChanged(61, alt), flagsChanged(61, 0)}},
        // The layout's virtual AltGr key (X key code 92) has no name in the vocabulary.
        SequenceCase{"LayoutAltGrCountsAsAlt",
                     {down("ISO_Level3_Shift"), down("q"), up("q"), up("ISO_Level3_Shift")},
                     {flagsChanged(0x1000 + 92, alt), keyDown(12, alt), keyUp(12, alt),
                      flagsChanged(0x1000 + 92, 0)}},
        SequenceCase{"Escape", {down("Escape"), up("Escape")}, {keyDown(53), keyUp(53)}},
        SequenceCase{"F5", {down("F5"), up("F5")}, {keyDown(96), keyUp(96)}},
        SequenceCase{
            "CtrlC",
            {down("Control_L"), down("c"), up("c"), up("Control_L")},
            {flagsChanged(59, ctrl), keyDown(8, ctrl), keyUp(8, ctrl), flagsChanged(59, 0)}},
        SequenceCase{"BothCtrlsHeldTogether",
                     {down("Control_L"), down("Control_R"), up("Control_L"), down("v"), up("v"),
                      up("Control_R")},
                     {flagsChanged(59, ctrl), flagsChanged(62, ctrl), flagsChanged(59, ctrl),
                      keyDown(9, ctrl), keyUp(9, ctrl), flagsChanged(62, 0)}},
        SequenceCase{"BothShiftsHeldTogether",
                     {down("Shift_L"), down("Shift_R"), up("Shift_R"), up("Shift_L")},
                     {flagsChanged(56, shift), flagsChanged(60, shift), flagsChanged(60, shift),
                      flagsChanged(56, 0)}},
        SequenceCase{"ShiftAltSuperTogether",
                     {down("Shift_L"), down("Alt_L"), down("Super_R"), down("x"), up("x"),
                      up("Shift_L"), up("Alt_L"), up("Super_R")},
                     {flagsChanged(56, shift), flagsChanged(58, shift | alt),
                      flagsChanged(54, shift | alt | super), keyDown(7, shift | alt | super),
                      keyUp(7, shift | alt | super), flagsChanged(56, alt | super),
                      flagsChanged(58, super), flagsChanged(54, 0)}},
        SequenceCase{"ModifierReleasedTwice",
                     {down("Control_R"), up("Control_R"), up("Control_R")},
                     {flagsChanged(62, ctrl), flagsChanged(62, 0)}},
        SequenceCase{"KeyReleasedTwice", {down("a"), up("a"), up("a")}, {keyDown(0), keyUp(0)}},
        SequenceCase{"ReleaseWithoutPress", {up("Super_R"), up("b")}, {}},
        SequenceCase{"ModifierRepeatsWhileHeld",
                     {down("Control_R"), down("Control_R"), down("Control_R"), up("Control_R")},
                     {flagsChanged(62, ctrl), flagsChanged(62, 0)}},
        SequenceCase{"KeyRepeatsWhileHeld",
                     {down("Shift_R"), down("z"), down("z"), up("z"), up("Shift_R")},
                     {flagsChanged(60, shift), keyDown(6, shift), keyDown(6, shift),
                      keyUp(6, shift), flagsChanged(60, 0)}},
        SequenceCase{"CapsLockToggles",
                     {down("Caps_Lock"), up("Caps_Lock"), down("a"), up("a"), down("Caps_Lock"),
                      up("Caps_Lock"), down("a"), up("a")},
                     {flagsChanged(57, caps), keyDown(0, caps), keyUp(0, caps), flagsChanged(57, 0),
                      keyDown(0), keyUp(0)}},
        SequenceCase{"CapsLockRepeatDoesNotToggleAgain",
                     {down("Caps_Lock"), down("Caps_Lock"), up("Caps_Lock"), down("a"), up("a")},
                     {flagsChanged(57, caps), keyDown(0, caps), keyUp(0, caps)}}),
    [](const auto& info) { return info.param.name; });

// --- Key codes: by position, checked against the server's own keymap ------------------------

struct KeyCase {
    std::string name;
    Key key;
    std::uint16_t virtualCode;

    friend void PrintTo(const KeyCase& c, std::ostream* out) { *out << c.name; }
};

KeyCase named(const std::string& keysym, std::uint16_t virtualCode) {
    return {keysym, {keysym}, virtualCode};
}

class KeyboardHookKeyCodeTest : public HookFixture,
                                public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyboardHookKeyCodeTest, TranslatesTheKey) {
    ASSERT_TRUE(hook.start(recorder()));
    run({{GetParam().key, true}, {GetParam().key, false}});
    ASSERT_TRUE(waitForMarker());
    const auto code = GetParam().virtualCode;
    EXPECT_EQ(texts(eventsBeforeMarker()), texts({keyDown(code), keyUp(code)}));
}

INSTANTIATE_TEST_SUITE_P(
    Letters, KeyboardHookKeyCodeTest,
    ::testing::Values(named("a", 0), named("b", 11), named("c", 8), named("d", 2), named("e", 14),
                      named("f", 3), named("g", 5), named("h", 4), named("i", 34), named("j", 38),
                      named("k", 40), named("l", 37), named("m", 46), named("n", 45),
                      named("o", 31), named("p", 35), named("q", 12), named("r", 15), named("s", 1),
                      named("t", 17), named("u", 32), named("v", 9), named("w", 13), named("x", 7),
                      named("y", 16), named("z", 6)),
    [](const auto& info) { return testName(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    DigitsAndPunctuation, KeyboardHookKeyCodeTest,
    ::testing::Values(named("1", 18), named("2", 19), named("3", 20), named("4", 21),
                      named("5", 23), named("6", 22), named("7", 26), named("8", 28),
                      named("9", 25), named("0", 29), named("minus", 27), named("equal", 24),
                      named("bracketleft", 33), named("bracketright", 30), named("backslash", 42),
                      named("semicolon", 41), named("apostrophe", 39), named("grave", 50),
                      named("comma", 43), named("period", 47), named("slash", 44),
                      named("Return", 36), named("Tab", 48), named("space", 49),
                      named("BackSpace", 51)),
    [](const auto& info) { return testName(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    FunctionKeys, KeyboardHookKeyCodeTest,
    ::testing::Values(named("F1", 122), named("F2", 120), named("F3", 99), named("F4", 118),
                      named("F5", 96), named("F6", 97), named("F7", 98), named("F8", 100),
                      named("F9", 101), named("F10", 109), named("F11", 103), named("F12", 111),
                      // The layout gives F13 and up other keysyms; the keys are the same.
                      KeyCase{"F13", evdevKey(KEY_F13), 105},
                      KeyCase{"F14", evdevKey(KEY_F14), 107},
                      KeyCase{"F15", evdevKey(KEY_F15), 113},
                      KeyCase{"F16", evdevKey(KEY_F16), 106}, KeyCase{"F17", evdevKey(KEY_F17), 64},
                      KeyCase{"F18", evdevKey(KEY_F18), 79}, KeyCase{"F19", evdevKey(KEY_F19), 80},
                      KeyCase{"F20", evdevKey(KEY_F20), 90}),
    [](const auto& info) { return testName(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Navigation, KeyboardHookKeyCodeTest,
                         ::testing::Values(named("Home", 115), named("End", 119),
                                           named("Prior", 116), named("Next", 121),
                                           named("Insert", 114), named("Help", 114),
                                           named("Delete", 117), named("Left", 123),
                                           named("Right", 124), named("Up", 126),
                                           named("Down", 125), named("Escape", 53)),
                         [](const auto& info) { return testName(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    KeypadAndMedia, KeyboardHookKeyCodeTest,
    ::testing::Values(named("KP_0", 82), named("KP_1", 83), named("KP_2", 84), named("KP_3", 85),
                      named("KP_4", 86), named("KP_5", 87), named("KP_6", 88), named("KP_7", 89),
                      named("KP_8", 91), named("KP_9", 92),
                      // The layout also puts KP_Decimal on the keypad comma key; KP_Delete is
                      // only on the decimal key.
                      KeyCase{"KP_Decimal", {"KP_Delete"}, 65}, named("KP_Multiply", 67),
                      named("KP_Add", 69), named("KP_Subtract", 78), named("KP_Divide", 75),
                      named("KP_Enter", 76), named("KP_Equal", 81), named("Num_Lock", 71),
                      named("XF86AudioRaiseVolume", 72), named("XF86AudioLowerVolume", 73),
                      named("XF86AudioMute", 74)),
    [](const auto& info) { return testName(info.param.name); });

// --- Every key of the server --------------------------------------------------------------

class KeyboardHookEveryKeyTest : public HookFixture {};

TEST_F(KeyboardHookEveryKeyTest, EachKeyCodeGetsOneVirtualCodeOfItsOwn) {
    // Left out: Print, on which the window manager runs a program, and Pause, the marker.
    constexpr unsigned printKey = KEY_SYSRQ + 8;
    constexpr unsigned pauseKey = KEY_PAUSE + 8;
    ASSERT_TRUE(hook.start(recorder()));
    std::vector<Step> steps;
    for (unsigned code = 8; code <= 255; ++code) {
        if (code != printKey && code != pauseKey) {
            steps.push_back({{"", code}, true});
            steps.push_back({{"", code}, false});
        }
    }
    run(steps);
    ASSERT_TRUE(waitForMarker());
    const auto events = eventsBeforeMarker();

    // Ordinary keys give a press and a release, modifiers two flag changes, Caps Lock one.
    std::map<std::uint16_t, int> count;
    for (const auto& event : events) {
        ++count[event.keyCode];
    }
    const std::uint16_t capsLock = keyCodes::capsLock;
    EXPECT_EQ(count[capsLock], 1);
    std::map<std::uint16_t, int> sharing; // virtual code -> how many key codes have it
    for (const auto& [code, n] : count) {
        if (code != capsLock) {
            EXPECT_EQ(n % 2, 0) << "virtual code " << code;
            sharing[code] = n / 2;
        }
    }
    // Insert and Help are one key; every other key has its own code.
    EXPECT_EQ(sharing[114], 2);
    for (const auto& [code, keys] : sharing) {
        if (code != 114) {
            EXPECT_EQ(keys, 1) << "virtual code " << code << " is shared";
        }
    }
    EXPECT_EQ(events.size(), 2u * (255 - 8 + 1 - 2) - 1);
}

// --- State that exists before the hook starts ---------------------------------------------

struct BeforeStartCase {
    std::string name;
    std::vector<Step> before;
    std::vector<Step> after;
    std::vector<KeyEvent> expected;

    friend void PrintTo(const BeforeStartCase& c, std::ostream* out) { *out << c.name; }
};

class KeyboardHookBeforeStartTest : public HookFixture,
                                    public ::testing::WithParamInterface<BeforeStartCase> {};

TEST_P(KeyboardHookBeforeStartTest, TakesTheKeyboardAsItFindsIt) {
    run(GetParam().before);
    ASSERT_TRUE(hook.start(recorder()));
    run(GetParam().after);
    ASSERT_TRUE(waitForMarker());
    EXPECT_EQ(texts(eventsBeforeMarker()), texts(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    States, KeyboardHookBeforeStartTest,
    ::testing::Values(BeforeStartCase{"CtrlHeld",
                                      {down("Control_R")},
                                      {down("c"), up("c"), up("Control_R")},
                                      {keyDown(8, ctrl), keyUp(8, ctrl), flagsChanged(62, 0)}},
                      BeforeStartCase{"CapsLockOn",
                                      {down("Caps_Lock"), up("Caps_Lock")},
                                      {down("a"), up("a"), down("Caps_Lock"), up("Caps_Lock")},
                                      {keyDown(0, caps), keyUp(0, caps), flagsChanged(57, 0)}},
                      BeforeStartCase{"KeyHeld", {down("k")}, {up("k")}, {keyUp(40)}}),
    [](const auto& info) { return info.param.name; });

// --- Start, stop, and no display -----------------------------------------------------------

class KeyboardHookLifeTest : public HookFixture {};

TEST_F(KeyboardHookLifeTest, StopEndsDeliveryAndStartResumesIt) {
    X11KeyboardHook witness;
    std::vector<KeyEvent> witnessed;
    ASSERT_TRUE(witness.start([&](const KeyEvent& event) { witnessed.push_back(event); }));
    ASSERT_TRUE(hook.start(recorder()));
    hook.stop();

    run({down("b"), up("b")});
    ASSERT_TRUE(waitUntil([&] { return witnessed.size() == 2; }));
    EXPECT_TRUE(seen.empty()) << "delivered after stop: " << describe(seen.front());

    ASSERT_TRUE(hook.start(recorder()));
    run({down("n"), up("n")});
    ASSERT_TRUE(waitForMarker());
    EXPECT_EQ(texts(eventsBeforeMarker()), texts({keyDown(45), keyUp(45)}));
}

TEST_F(KeyboardHookLifeTest, HandlerMayStopTheHook) {
    ASSERT_TRUE(hook.start([this](const KeyEvent& event) {
        seen.push_back(event);
        hook.stop();
    }));
    run({down("m"), up("m")});
    EXPECT_TRUE(waitUntil([&] { return !seen.empty(); }));
    // The release queued behind the press must not be delivered to a stopped hook.
    X11KeyboardHook witness;
    std::vector<KeyEvent> witnessed;
    ASSERT_TRUE(witness.start([&](const KeyEvent& event) { witnessed.push_back(event); }));
    run({down("m"), up("m")});
    ASSERT_TRUE(waitUntil([&] { return witnessed.size() == 2; }));
    EXPECT_EQ(texts(seen), texts({keyDown(46)}));
}

TEST(KeyboardHookWithoutDisplayTest, IsNotTrustedAndDoesNothing) {
    X11KeyboardHook hook(":999");
    EXPECT_FALSE(hook.isTrusted());
    hook.requestTrust();
    EXPECT_FALSE(hook.start([](const KeyEvent&) {}));
    hook.setEscapeGrabbed(true);
    hook.setEscapeGrabbed(false);
    hook.stop();
}

TEST(KeyboardHookOnDisplayTest, IsTrusted) {
    X11KeyboardHook hook;
    EXPECT_TRUE(hook.isTrusted());
}

} // namespace
} // namespace skrib::testing
