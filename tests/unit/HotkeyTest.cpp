#include "FakeInput.h"
#include "FakeScheduler.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "input/GlobalHotkey.h"
#include "input/HotkeyOption.h"
#include "input/TextInserter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace skrib::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Type = KeyEvent::Type;
using Case = HotkeyOption::Case;

// MARK: - Options

struct StoredCase {
    std::optional<std::string> saved;
    Case expected;
};

class StoredOption : public ::testing::TestWithParam<StoredCase> {};

TEST_P(StoredOption, FallsBackToTheDefaultForAnythingUnknown) {
    MemoryDefaults defaults;
    if (GetParam().saved) {
        defaults.set("hotkeyOption", DefaultsValue(*GetParam().saved));
    }
    EXPECT_EQ(HotkeyOption::stored(defaults), HotkeyOption(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Cases, StoredOption,
                         ::testing::Values(StoredCase{std::nullopt, Case::rightControl},
                                           StoredCase{"RightCmd", Case::rightControl},
                                           StoredCase{"f13", Case::rightControl},
                                           StoredCase{"", Case::rightControl},
                                           StoredCase{"leftOption", Case::leftOption},
                                           StoredCase{"rightCmd", Case::rightCmd},
                                           StoredCase{"custom", Case::custom}));

TEST(HotkeyOption, TableOfCodesMasksLabelsAndRawValues) {
    MemoryDefaults defaults;
    std::vector<std::string> rows;
    for (const auto option : HotkeyOption::allCases()) {
        rows.push_back(
            std::string(option.rawValue()) + " " + std::to_string(option.keyCode(defaults)) + " " +
            std::to_string(option.flagMask(defaults)) + " " + option.displayName(defaults));
        EXPECT_EQ(HotkeyOption::fromRawValue(option.rawValue()), option);
    }
    EXPECT_THAT(rows,
                ElementsAre("rightCmd 54 1048576 Right Super", "leftCmd 55 1048576 Left Super",
                            "rightOption 61 524288 Right Alt", "leftOption 58 524288 Left Alt",
                            "rightControl 62 262144 Right Ctrl", "leftControl 59 262144 Left Ctrl",
                            "fn 63 8388608 Fn", "custom 0 0 Custom Key"));
}

TEST(HotkeyOption, CustomKeyIsReadFreshFromTheSettings) {
    MemoryDefaults defaults;
    const HotkeyOption custom(Case::custom);
    HotkeyOption::saveCustomKey(defaults, 96, 0, "F5");
    EXPECT_EQ(custom.keyCode(defaults), 96);
    EXPECT_EQ(custom.displayName(defaults), "F5");
    EXPECT_EQ(HotkeyOption::stored(defaults), HotkeyOption::defaultOption())
        << "recording a key does not choose it";
    custom.save(defaults);
    EXPECT_EQ(defaults.stringValue("hotkeyOption"), "custom");
    defaults.set("customHotkeyCode", 70000);
    defaults.set("customHotkeyFlags", -4);
    EXPECT_EQ(custom.keyCode(defaults), 0) << "out of range is no key";
    EXPECT_EQ(custom.flagMask(defaults), 0u);
}

// MARK: - The watcher

struct Step {
    double at;
    Type type;
    std::uint16_t code;
    std::uint64_t flags = 0;
};

struct HotkeyCase {
    const char* name;
    Case option;
    bool hold;
    bool dictating;
    std::optional<std::uint16_t> customCode;
    std::vector<Step> steps;
    std::vector<std::string> expected; // "toggle@0.200" …
};

class Hotkey : public ::testing::TestWithParam<HotkeyCase> {
protected:
    void prepare(const HotkeyCase& c) {
        if (c.customCode) {
            HotkeyOption::saveCustomKey(defaults, *c.customCode, 0, "F5");
        }
        HotkeyOption(c.option).save(defaults);
        defaults.set("hotkeyHoldMode", c.hold);
        watcher = std::make_unique<GlobalHotkey>(hook, queue, defaults);
        auto note = [this](const char* what) {
            return [this, what] {
                char text[64];
                std::snprintf(text, sizeof text, "%s@%.3f", what, queue.absoluteTime());
                fired.emplace_back(text);
            };
        };
        watcher->onToggle = note("toggle");
        watcher->onCancel = note("cancel");
        watcher->onHoldStart = note("holdStart");
        watcher->onHoldEnd = note("holdEnd");
        watcher->start();
        watcher->setIsDictating(c.dictating);
    }
    void play(const std::vector<Step>& steps) {
        for (const auto& s : steps) {
            queue.advance(s.at - queue.absoluteTime());
            ASSERT_TRUE(hook.send(s.type, s.code, s.flags));
        }
        queue.advance(2.0);
    }

    LogCapture log;
    FakeScheduler queue;
    MemoryDefaults defaults;
    FakeKeyboardHook hook;
    std::unique_ptr<GlobalHotkey> watcher;
    std::vector<std::string> fired;
};

constexpr auto ctrl = keyFlags::control;
constexpr auto cmd = keyFlags::command;
constexpr auto F = Type::flagsChanged;
constexpr auto D = Type::keyDown;
constexpr auto U = Type::keyUp;

TEST_P(Hotkey, TurnsEventSequencesIntoIntents) {
    prepare(GetParam());
    play(GetParam().steps);
    EXPECT_EQ(fired, GetParam().expected) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Hotkey,
    ::testing::Values(
        HotkeyCase{"soloTap",
                   Case::rightControl,
                   false,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {0.2, F, 62, 0}},
                   {"toggle@0.200"}},
        HotkeyCase{"twoTaps",
                   Case::rightControl,
                   false,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {0.1, F, 62, 0}, {1, F, 62, ctrl}, {1.3, F, 62, 0}},
                   {"toggle@0.100", "toggle@1.300"}},
        HotkeyCase{"tooLong",
                   Case::rightControl,
                   false,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {0.5, F, 62, 0}},
                   {}},
        HotkeyCase{"exactlyTheLimit",
                   Case::rightControl,
                   false,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {0.4, F, 62, 0}},
                   {}},
        HotkeyCase{"shortcut",
                   Case::rightControl,
                   false,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {0.1, D, 8, ctrl}, {0.15, U, 8, ctrl}, {0.2, F, 62, 0}},
                   {}},
        HotkeyCase{"otherModifierKey",
                   Case::leftControl,
                   false,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {0.2, F, 62, 0}},
                   {}},
        HotkeyCase{"superTap",
                   Case::rightCmd,
                   false,
                   false,
                   {},
                   {{0, F, 54, cmd}, {0.1, F, 54, 0}},
                   {"toggle@0.100"}},
        HotkeyCase{"pairStillHeld",
                   Case::rightControl,
                   false,
                   false,
                   {},
                   {{0, F, 62, ctrl},
                    {0.05, F, 59, ctrl},
                    {0.1, F, 62, ctrl},
                    {0.3, F, 59, 0},
                    {1.0, F, 62, ctrl},
                    {1.1, F, 62, 0}},
                   {}},
        HotkeyCase{"hold",
                   Case::rightControl,
                   true,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {1, F, 62, 0}},
                   {"holdStart@0.150", "holdEnd@1.000"}},
        HotkeyCase{"holdTap",
                   Case::rightControl,
                   true,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {0.1, F, 62, 0}},
                   {}},
        HotkeyCase{"holdAtThreshold",
                   Case::rightControl,
                   true,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {0.15, F, 62, 0}},
                   {"holdStart@0.150"}},
        HotkeyCase{"holdWithShortcut",
                   Case::rightControl,
                   true,
                   false,
                   {},
                   {{0, F, 62, ctrl}, {0.3, D, 8, ctrl}, {0.9, F, 62, 0}},
                   {"holdStart@0.150", "holdEnd@0.900"}},
        HotkeyCase{"escapeWhileDictating",
                   Case::rightControl,
                   false,
                   true,
                   {},
                   {{0.5, D, 53}, {0.6, U, 53}},
                   {"cancel@0.500"}},
        HotkeyCase{"escapeIdle", Case::rightControl, false, false, {}, {{0.5, D, 53}}, {}},
        HotkeyCase{"customToggleOnRelease",
                   Case::custom,
                   false,
                   false,
                   96,
                   {{0, D, 96}, {3, U, 96}},
                   {"toggle@3.000"}},
        HotkeyCase{"customRepeatIgnored",
                   Case::custom,
                   false,
                   false,
                   96,
                   {{0, D, 96}, {0.5, D, 96}, {1, U, 96}},
                   {"toggle@1.000"}},
        HotkeyCase{"customHold",
                   Case::custom,
                   true,
                   false,
                   96,
                   {{0, D, 96}, {3, U, 96}},
                   {"holdStart@0.150", "holdEnd@3.000"}},
        HotkeyCase{"customHoldTap", Case::custom, true, false, 96, {{0, D, 96}, {0.1, U, 96}}, {}},
        HotkeyCase{"customNotRecorded",
                   Case::custom,
                   false,
                   true,
                   {},
                   {{0, F, 62, ctrl}, {0.1, F, 62, 0}, {0.5, D, 53}},
                   {"cancel@0.500"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hotkey, OnlyEscapeDuringADictationIsSwallowedAndGrabbed) {
    prepare(HotkeyCase{"", Case::rightControl, false, false, {}, {}, {}});
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
    EXPECT_THAT(fired, ElementsAre("cancel@0.000"));
}

TEST_F(Hotkey, ChangingTheOptionWhileHeldForgetsThePress) {
    prepare(HotkeyCase{"", Case::rightControl, false, false, {}, {}, {}});
    hook.send(F, 62, ctrl);
    watcher->updateOption(HotkeyOption(Case::leftOption));
    EXPECT_TRUE(log.contains("⌨️ Hotkey changed to Left Alt"));
    EXPECT_EQ(defaults.stringValue("hotkeyOption"), "leftOption");
    play({{0.1, F, 62, 0}, {0.5, F, 58, keyFlags::option}, {0.6, F, 58, 0}});
    EXPECT_THAT(fired, ElementsAre("toggle@0.600"));
}

TEST_F(Hotkey, WaitsForPermissionAndStartsOnTheNextPollAfterItIsGranted) {
    hook.trusted = false;
    prepare(HotkeyCase{"", Case::rightControl, false, false, {}, {}, {}});
    EXPECT_TRUE(log.contains("⌨️ Accessibility not granted — requesting..."));
    EXPECT_EQ(hook.trustRequests, 1);
    queue.advance(4.0);
    EXPECT_FALSE(hook.watching());
    hook.trusted = true;
    queue.advance(1.9);
    EXPECT_FALSE(hook.watching()) << "only the poll notices";
    queue.advance(0.1);
    EXPECT_TRUE(hook.watching());
    EXPECT_TRUE(log.contains("⌨️ Global hotkey active (Right Ctrl)"));
    queue.advance(10.0);
    EXPECT_EQ(log.matching("⌨️ Global hotkey active").size(), 1u) << "the poll stops";
}

TEST_F(Hotkey, AHookThatCannotStartIsReportedAndNotRetried) {
    hook.failStart = true;
    prepare(HotkeyCase{"", Case::rightControl, false, false, {}, {}, {}});
    EXPECT_TRUE(
        log.contains("⌨️ Failed to create CGEventTap — check Accessibility permissions"));
    queue.advance(10);
    EXPECT_EQ(queue.pendingCount(), 0u);
}

// MARK: - Text insertion

class Inserter : public ::testing::Test {
protected:
    std::vector<std::string> timeline() const {
        std::vector<std::string> out;
        for (const auto& [t, what] : desktop.actions) {
            char text[16];
            std::snprintf(text, sizeof text, "%.2f ", t);
            out.push_back(text + what);
        }
        return out;
    }
    LogCapture log;
    FakeScheduler queue;
    MemoryDefaults defaults;
    FakeDesktop desktop{queue};
    TextInserter inserter{desktop, queue, defaults};
    const TargetApplication editor{42, 1000, "Editor"};
};

TEST_F(Inserter, RequestsRunOneAtATimeWithTheirPauses) {
    inserter.insert("first", editor);
    inserter.insert("second", editor);
    EXPECT_EQ(desktop.clipboard, "first") << "the second waits for the first paste";
    queue.advance(2);
    EXPECT_THAT(timeline(),
                ElementsAre("0.00 clipboard first", "0.00 activate Editor", "0.15 paste",
                            "0.20 clipboard second", "0.20 activate Editor", "0.35 paste"));
    EXPECT_FALSE(inserter.isBusy());
    EXPECT_EQ(log.matching("📋 Re-activated Editor before paste").size(), 2u);
}

TEST_F(Inserter, AutoEnterAddsReturnAfterTheConfiguredPause) {
    EXPECT_FALSE(inserter.autoEnter()) << "off until set";
    inserter.setAutoEnter(true);
    inserter.insert("one", editor);
    inserter.insert("two", std::nullopt);
    queue.advance(2);
    EXPECT_THAT(timeline(),
                ElementsAre("0.00 clipboard one", "0.00 activate Editor", "0.15 paste",
                            "0.30 return", "0.35 clipboard two", "0.50 paste", "0.65 return"));
}

TEST_F(Inserter, WithoutPermissionEveryTextGoesToTheClipboardOnly) {
    desktop.trusted = false;
    inserter.insert("a", editor);
    inserter.insert("b", editor);
    inserter.insert("c", editor);
    queue.advance(2);
    EXPECT_EQ(desktop.clipboard, "c");
    EXPECT_THAT(timeline(),
                ElementsAre("0.00 clipboard a", "0.00 clipboard b", "0.00 clipboard c"));
    EXPECT_EQ(log.matching("📋 Accessibility not granted — copying to clipboard only").size(), 3u);
}

TEST_F(Inserter, ATargetThatQuitIsNotActivatedButThePasteStillHappens) {
    desktop.terminatedWindows.insert(editor.window);
    inserter.insert("text", editor);
    queue.advance(1);
    EXPECT_THAT(timeline(), ElementsAre("0.00 clipboard text", "0.15 paste"));
    EXPECT_TRUE(log.matching("📋 Re-activated").empty());
}

TEST_F(Inserter, AFailedPasteIsLoggedAndTheQueueMovesOn) {
    desktop.pasteFails = true;
    inserter.insert("x", TargetApplication{7, 0, ""});
    inserter.insert("y", std::nullopt);
    queue.advance(1);
    EXPECT_TRUE(log.contains("📋 Re-activated app before paste"));
    EXPECT_EQ(log.matching("📋 Failed to create CGEvent for paste — text is on clipboard").size(),
              2u);
    EXPECT_EQ(desktop.clipboard, "y");
    EXPECT_FALSE(inserter.isBusy());
}

TEST_F(Inserter, AutoEnterIsReadAtEachUse) {
    inserter.insert("one", std::nullopt);
    queue.advance(0.1);
    inserter.setAutoEnter(true); // before the paste step reads it
    queue.advance(1);
    EXPECT_THAT(timeline(), ElementsAre("0.00 clipboard one", "0.15 paste", "0.30 return"));
}

} // namespace
} // namespace skrib::testing
