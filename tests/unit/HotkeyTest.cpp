#include "FakeInput.h"
#include "FakeScheduler.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "input/EvdevKeyTranslator.h"
#include "input/GlobalHotkey.h"
#include "input/HotkeyOption.h"
#include "input/InputMethods.h"
#include "input/TextInserter.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace skrib::testing {
namespace {

using Type = KeyEvent::Type;
using Case = HotkeyOption::Case;

using Ms = std::optional<std::uint32_t>; // the desktop's time of an event
struct Step { double at; Type type; std::uint16_t code; std::uint64_t flags = 0; Ms time = {}; };

class Watcher : public ::testing::Test {
protected:
    void prepare(HotkeyOption option, bool hold = false, bool dictating = false) {
        option.save(defaults);
        defaults.set("hotkeyHoldMode", hold);
        watcher = std::make_unique<GlobalHotkey>(hook, queue, defaults);
        auto note = [this](const char* what) {
            return [this, what] {
                char text[64];
                std::snprintf(text, sizeof text, "%s@%.3f", what, queue.absoluteTime());
                fired += (fired.empty() ? "" : " ") + std::string(text);
            };
        };
        watcher->onToggle = note("toggle");
        watcher->onCancel = note("cancel");
        watcher->onHoldStart = note("holdStart");
        watcher->onHoldEnd = note("holdEnd");
        watcher->start();
        watcher->setIsDictating(dictating);
    }
    void play(const std::vector<Step>& steps) {
        for (const auto& s : steps) {
            queue.advance(s.at - queue.absoluteTime());
            ASSERT_TRUE(hook.send(s.type, s.code, s.flags, s.time));
        }
        queue.advance(2.0);
    }

    LogCapture log;
    FakeScheduler queue;
    MemoryDefaults defaults;
    FakeKeyboardHook hook;
    std::unique_ptr<GlobalHotkey> watcher;
    std::string fired;
};

constexpr auto ctrl = keyFlags::control;
constexpr auto F = Type::flagsChanged;
constexpr auto D = Type::keyDown;
constexpr auto U = Type::keyUp;

TEST_F(Watcher, EveryModifierOptionIsSavedAndTappedAsItselfOnly) {
    defaults.set("hotkeyOption", "RightCmd");
    EXPECT_EQ(HotkeyOption::stored(defaults), HotkeyOption::defaultOption()) << "unknown value";
    for (const auto option : HotkeyOption::allCases()) {
        option.save(defaults);
        EXPECT_EQ(HotkeyOption::stored(defaults), option);
        for (const auto tapped : HotkeyOption::allCases()) {
            if (option == Case::custom || tapped == Case::custom) {
                continue;
            }
            prepare(option);
            fired.clear();
            const double t = queue.absoluteTime();
            const auto code = tapped.keyCode(defaults);
            play({{t, F, code, tapped.flagMask(defaults)}, {t + 0.1, F, code, 0}});
            EXPECT_EQ(!fired.empty(), tapped == option)
                << tapped.rawValue() << " tapped, " << option.rawValue() << " chosen";
        }
    }
}

TEST_F(Watcher, AStoredKeyTheDesktopNeverDeliversReadsAsTheDefault) {
    hook.unseenKeys = {keyCodes::function};
    prepare(Case::fn);
    EXPECT_EQ(watcher->option(), HotkeyOption::defaultOption());
    EXPECT_EQ(HotkeyOption::stored(defaults), HotkeyOption::defaultOption()) << "for every view";
    EXPECT_EQ(log.matching("⚠️"), std::vector<std::string>{"⚠️ Hotkey Fn cannot be seen on this "
                                                             "desktop — using Right Ctrl instead"});
}

enum Mode { toggle, hold, dictating };

struct HotkeyCase {
    const char* name;
    Case option;
    Mode mode;
    std::vector<Step> steps;
    const char* expected;
};

class HotkeyIntents : public Watcher, public ::testing::WithParamInterface<HotkeyCase> {};

TEST_P(HotkeyIntents, TurnEventSequencesIntoIntents) {
    const auto& c = GetParam();
    if (c.option == Case::custom && std::string(c.name) != "customNotRecorded") {
        HotkeyOption::saveCustomKey(defaults, 96, 0, "F5");
    }
    prepare(c.option, c.mode == hold, c.mode == dictating);
    play(c.steps);
    EXPECT_EQ(fired, c.expected);
}

constexpr auto RC = Case::rightControl;
constexpr auto X = Case::custom; // F5 (96) recorded, except in customNotRecorded
constexpr Step press{0, F, 62, ctrl};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, HotkeyIntents, ::testing::Values(
    HotkeyCase{"justUnderTheLimit", RC, toggle, {press, {0.375, F, 62}}, "toggle@0.375"},
    HotkeyCase{"exactlyTheLimit", RC, toggle, {press, {0.4, F, 62}}, ""},
    HotkeyCase{"shortcut", RC, toggle, {press, {0.1, D, 8, ctrl}, {0.15, U, 8, ctrl}, {0.2, F, 62}}, ""},
    HotkeyCase{"pairStillHeld", RC, toggle, {press, {0.05, F, 59, ctrl}, {0.1, F, 62, ctrl}, {0.3, F, 59}, {1.0, F, 62, ctrl}, {1.1, F, 62}}, ""},
    HotkeyCase{"hold", RC, hold, {press, {1, F, 62}}, "holdStart@0.150 holdEnd@1.000"},
    HotkeyCase{"holdTap", RC, hold, {press, {0.1, F, 62}}, ""},
    HotkeyCase{"holdAtThreshold", RC, hold, {press, {0.15, F, 62}}, "holdStart@0.150 holdEnd@0.150"},
    // Handled late, or together after slow work: the desktop's event times tell how long (its
    // clock wraps at 2^32 ms).
    HotkeyCase{"holdHandledAtOnce", RC, hold, {{0, F, 62, ctrl, 0xFFFFFF38}, {0, F, 62, 0, 400}}, "holdStart@0.000 holdEnd@0.000"},
    HotkeyCase{"longPressHandledAtOnce", RC, toggle, {{0, F, 62, ctrl, 1000}, {0, F, 62, 0, 1600}}, ""},
    HotkeyCase{"holdStartedReleaseHandledLate", RC, hold, {{0, F, 62, ctrl, 1000}, {0.6, F, 62, 0, 1100}}, "holdStart@0.150 holdEnd@0.600"},
    HotkeyCase{"tapReleaseHandledLate", RC, toggle, {{0, F, 62, ctrl, 1000}, {0.6, F, 62, 0, 1100}}, "toggle@0.600"},
    HotkeyCase{"holdWithShortcut", RC, hold, {press, {0.3, D, 8, ctrl}, {0.9, F, 62}}, "holdStart@0.150 holdEnd@0.900"},
    HotkeyCase{"escapeWhileDictating", RC, dictating, {{0.5, D, 53}, {0.6, U, 53}}, "cancel@0.500"},
    HotkeyCase{"escapeIdle", RC, toggle, {{0.5, D, 53}}, ""},
    HotkeyCase{"customToggleOnRelease", X, toggle, {{0, D, 96}, {3, U, 96}}, "toggle@3.000"},
    HotkeyCase{"customRepeatIgnored", X, toggle, {{0, D, 96}, {0.5, D, 96}, {1, U, 96}}, "toggle@1.000"},
    HotkeyCase{"customHold", X, hold, {{0, D, 96}, {3, U, 96}}, "holdStart@0.150 holdEnd@3.000"},
    HotkeyCase{"customNotRecorded", X, dictating, {press, {0.1, F, 62}, {0.5, D, 53}}, "cancel@0.500"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Watcher, OnlyEscapeDuringADictationIsSwallowedAndGrabbed) {
    prepare(RC);
    EXPECT_FALSE(hook.escapeGrabbed);
    EXPECT_FALSE(watcher->handleEvent({D, 53, 0}));
    watcher->setIsDictating(true);
    EXPECT_TRUE(hook.escapeGrabbed);
    EXPECT_TRUE(watcher->handleEvent({D, 53, 0}));
    EXPECT_FALSE(watcher->handleEvent({F, 62, ctrl})) << "the hotkey itself always passes";
    watcher->setIsDictating(false);
    EXPECT_FALSE(hook.escapeGrabbed);
    EXPECT_TRUE(fired.empty()) << "callbacks arrive later on the main queue";
    queue.runUntilIdle();
    EXPECT_EQ(fired, "cancel@0.000");
}

TEST_F(Watcher, WaitsForPermissionAndStartsOnTheNextPollAfterItIsGranted) {
    hook.trusted = false;
    prepare(RC);
    EXPECT_EQ(hook.trustRequests, 1);
    queue.advance(4.0);
    hook.trusted = true;
    queue.advance(1.9);
    EXPECT_FALSE(hook.watching()) << "only the poll notices";
    queue.advance(0.1);
    EXPECT_TRUE(hook.watching());
    queue.advance(10.0);
    EXPECT_EQ(queue.pendingCount(), 0u) << "the poll stops";
}

// MARK: - Keyboard devices

// One input event of keyboard 1 or 2 (value 1 press, 0 release, 2 repeat), or -1: unplugged.
struct Raw { int keyboard; unsigned code; int value; std::int64_t ms = 0; };
void feed(EvdevKeyTranslator& keys, const std::vector<Raw>& raws, auto out) {
    for (const auto& r : raws) {
        input_event event{};
        event.input_event_sec = r.ms / 1000;
        event.input_event_usec = r.ms % 1000 * 1000;
        event.type = EV_KEY, event.code = static_cast<std::uint16_t>(r.code), event.value = r.value;
        if (r.value < 0) {
            std::ranges::for_each(keys.removeKeyboard(r.keyboard), out);
        } else if (auto e = keys.translate(r.keyboard, event)) {
            out(*e);
        }
    }
}

struct KeyboardsCase { const char* name; std::vector<Raw> raws; const char* expected; };
class Keyboards : public ::testing::TestWithParam<KeyboardsCase> {};

TEST_P(Keyboards, MergeIntoOneKeyEventSequence) {
    EvdevKeyTranslator keys;
    keys.addKeyboard(1, EvdevKeyTranslator::Keys{}.set());
    keys.addKeyboard(2, EvdevKeyTranslator::Keys{}.set());
    std::string seen;
    feed(keys, GetParam().raws, [&](const KeyEvent& e) {
        const auto f = [&](std::uint64_t flag, const char* l) { return e.flags & flag ? l : ""; };
        seen += std::vector{"down ", "up ", "flags "}[int(e.type) - 10] +
                std::to_string(e.keyCode) + " " + f(keyFlags::shift, "S") + f(ctrl, "C") +
                f(keyFlags::function, "F") + f(keyFlags::capsLock, "L") + "; ";
    });
    EXPECT_EQ(seen, GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Keyboards, ::testing::Values(
    KeyboardsCase{"sameKeyOnTwoKeyboards", {{1, KEY_RIGHTCTRL, 1}, {2, KEY_RIGHTCTRL, 1}, {1, KEY_RIGHTCTRL, 0}, {2, KEY_V, 1}, {2, KEY_RIGHTCTRL, 0}}, "flags 62 C; down 9 C; flags 62 ; "},
    KeyboardsCase{"eachCtrlOnItsOwnKeyboard", {{1, KEY_RIGHTCTRL, 1}, {2, KEY_LEFTCTRL, 1}, {1, KEY_RIGHTCTRL, 0}, {2, KEY_LEFTCTRL, 0}}, "flags 62 C; flags 59 C; flags 62 C; flags 59 ; "},
    KeyboardsCase{"autoRepeat", {{1, KEY_RIGHTCTRL, 1}, {1, KEY_RIGHTCTRL, 2}, {1, KEY_V, 1}, {1, KEY_V, 2}, {1, KEY_V, 0}, {1, KEY_RIGHTCTRL, 0}}, "flags 62 C; down 9 C; down 9 C; up 9 C; flags 62 ; "},
    KeyboardsCase{"unpluggedMidHold", {{1, KEY_RIGHTCTRL, 1}, {1, KEY_A, 1}, {2, KEY_LEFTSHIFT, 1}, {1, 0, -1}, {1, KEY_A, 0}, {2, KEY_LEFTSHIFT, 0}}, "flags 62 C; down 0 C; flags 56 SC; up 0 SC; flags 62 S; flags 56 ; "},
    KeyboardsCase{"strayReleaseCapsLockFnUnnamedKey", {{1, KEY_V, 0}, {1, KEY_CAPSLOCK, 1}, {1, KEY_CAPSLOCK, 0}, {1, KEY_FN, 1}, {1, KEY_PROG1, 1}}, "flags 57 L; flags 63 FL; down 4252 FL; "}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Watcher, ATapOfRightCtrlOnAKeyboardDeviceTogglesByTheDevicesTimes) {
    prepare(RC);
    EvdevKeyTranslator keys;
    keys.addKeyboard(1, EvdevKeyTranslator::Keys{}.set());
    const std::int64_t wrap = std::int64_t{1} << 32; // and a second begins, in the first tap
    const unsigned rc = KEY_RIGHTCTRL;
    const std::vector<Raw> taps{{1, rc, 1, wrap - 350}, {1, rc, 0, wrap + 4}, // 354 ms
                                {1, rc, 1, wrap + 900}, {1, rc, 0, wrap + 1400}}; // 500 ms
    feed(keys, taps, [&](const KeyEvent& e) { hook.send(e.type, e.keyCode, e.flags, e.time); });
    queue.runUntilIdle();
    EXPECT_EQ(fired, "toggle@0.000") << "handled at once: only the times tell the long press";
}

TEST(KeyboardDevices, SeeFnOnlyWhereAKeyboardHasIt) {
    EvdevKeyTranslator keys;
    EvdevKeyTranslator::Keys has;
    keys.addKeyboard(1, has.set(KEY_RIGHTCTRL));
    EXPECT_TRUE(keys.canSee(keyCodes::rightControl));
    EXPECT_FALSE(keys.canSee(keyCodes::function));
    keys.addKeyboard(2, has.set(KEY_FN));
    EXPECT_TRUE(keys.canSee(keyCodes::function));
}

// MARK: - Text insertion

struct InsertCase {
    const char* name;
    std::function<void(FakeDesktop&, TextInserter&)> arrange;
    std::optional<TargetApplication> secondTarget;
    std::string timeline;
};

class Inserter : public ::testing::TestWithParam<InsertCase> {
protected:
    LogCapture log;
    FakeScheduler queue;
    MemoryDefaults defaults;
    FakeDesktop desktop{queue};
    TextInserter inserter{desktop, queue, defaults};
};

const TargetApplication editor{42, 1000, "Editor"};

TEST_P(Inserter, RunsRequestsOneAtATimeWithTheirPauses) {
    GetParam().arrange(desktop, inserter);
    inserter.insert("one", editor);
    inserter.insert("two", GetParam().secondTarget);
    EXPECT_EQ(desktop.clipboard, desktop.trusted ? "one" : "two");
    queue.advance(2);
    std::string timeline;
    for (const auto& [t, what] : desktop.actions) {
        char text[16];
        std::snprintf(text, sizeof text, "%.2f ", t);
        timeline += text + what + "|";
    }
    EXPECT_EQ(timeline, GetParam().timeline);
    EXPECT_FALSE(inserter.isBusy());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Inserter, ::testing::Values(
    InsertCase{"plain", [](auto&, auto&) {}, editor, "0.00 clipboard one|0.00 activate Editor|0.15 paste Ctrl+V|0.20 clipboard two|0.20 activate Editor|0.35 paste Ctrl+V|"},
    InsertCase{"autoEnter", [](auto&, auto& i) { i.setAutoEnter(true); }, std::nullopt, "0.00 clipboard one|0.00 activate Editor|0.15 paste Ctrl+V|0.30 return|0.35 clipboard two|0.50 paste Ctrl+V|0.65 return|"},
    InsertCase{"noPermission", [](auto& d, auto&) { d.trusted = false; }, editor, "0.00 clipboard one|0.00 clipboard two|"},
    InsertCase{"targetQuit", [](auto& d, auto&) { d.terminatedWindows.insert(42); }, std::nullopt, "0.00 clipboard one|0.15 paste Ctrl+V|0.20 clipboard two|0.35 paste Ctrl+V|"},
    InsertCase{"pasteFails", [](auto& d, auto&) { d.pasteFails = true; }, std::nullopt, "0.00 clipboard one|0.00 activate Editor|0.20 clipboard two|"},
    InsertCase{"xtermPastesPrimary", [](auto&, auto&) {}, TargetApplication{43, 0, "XTerm"}, "0.00 clipboard one|0.00 activate Editor|0.15 paste Ctrl+V|0.20 clipboard two|0.20 activate XTerm|0.20 primary two|0.35 paste Shift+Insert|"},
    InsertCase{"quitTargetPastesAsFrontmostInAnyCase", [](auto& d, auto&) { d.terminatedWindows.insert(42); d.frontmost = TargetApplication{7, 0, "KONSOLE"}; }, std::nullopt, "0.00 clipboard one|0.15 paste Ctrl+Shift+V|0.20 clipboard two|0.35 paste Ctrl+Shift+V|"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(InputMethods, TheBestWayTheSessionOffersWinsAndTheNextStepIsNamed) {
    InputAvailability wayland{.wayland = true, .evdevDenied = true};
    EXPECT_EQ(InputMethods::choose({.evdevKeyboards = true}).summary(),
              "Hotkey: X11 keyboard · Paste: X11 keys");
    EXPECT_EQ(InputMethods::choose(wayland).summary(),
              "Hotkey: X11 windows only · Paste: clipboard only");
    EXPECT_EQ(InputMethods::choose(wayland).nextStep(wayland),
              "Add yourself to the input group to use a lone key on Wayland");
    wayland.portalShortcuts = wayland.uinput = wayland.virtualKeyboard = true;
    EXPECT_EQ(InputMethods::choose(wayland).summary(),
              "Hotkey: desktop shortcut · Paste: virtual keyboard");
    wayland.evdevKeyboards = wayland.portalKeyboard = true;
    EXPECT_EQ(InputMethods::choose(wayland).summary(),
              "Hotkey: keyboard devices · Paste: desktop remote keyboard");
    EXPECT_EQ(InputMethods::choose(wayland).nextStep(wayland), "");
}

} // namespace
} // namespace skrib::testing
