#include "SettingsPage.h"
#include "ui/settings/StaticEQView.h"
#include "ui/settings/VocabTagEditor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace skrib::testing {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const char* professionalPrompt =
    "Proper capitalization — capitalize first letter of each sentence, proper nouns, acronyms, "
    "and titles. Full punctuation — periods, commas, colons, semicolons, question marks where "
    "grammatically appropriate. Structure into clean sentences and paragraphs.";
const char* minimalPrompt =
    "Do not change capitalization, punctuation, or sentence structure. Fix only obvious "
    "grammatical errors and misheard words. Keep text as close to the original as possible.";

// --- Transcription style ---

struct StyleCase {
    const char* name;
    std::optional<std::string> storedPreset, storedPrompt;
    std::optional<std::string> choose; // none: only build the page
    // expectations
    const char* popupText;
    const char* description;
    const char* prompt;
    bool editable;
    std::optional<std::string> presetAfter, promptAfter;
    std::vector<json> styleRequests;
    friend void PrintTo(const StyleCase& c, std::ostream* os) { *os << c.name; }
};

class StyleChoice : public ::testing::TestWithParam<StyleCase> {};

TEST_P(StyleChoice, ShowsStoresAndSendsThePreset) {
    const StyleCase& c = GetParam();
    SettingsPage page;
    if (c.storedPreset) {
        page.defaults.set("stylePreset", DefaultsValue(*c.storedPreset));
    }
    if (c.storedPrompt) {
        page.defaults.set("customPrompt", DefaultsValue(*c.storedPrompt));
    }
    SettingsView& view = page.build();
    if (c.choose) {
        SettingsPage::choose(view.stylePopup(), QString::fromStdString(*c.choose));
    }

    EXPECT_EQ(view.stylePopup()->currentText().toStdString(), c.popupText);
    EXPECT_EQ(view.styleDescription()->text().toStdString(), c.description);
    EXPECT_EQ(view.promptBox()->toPlainText().toStdString(), c.prompt);
    EXPECT_EQ(view.promptBox()->isReadOnly(), !c.editable);
    EXPECT_EQ(view.savePromptButton()->isVisible(), c.editable);
    EXPECT_EQ(view.customNote()->isVisible(), c.editable);
    EXPECT_EQ(page.defaults.stringValue("stylePreset"), c.presetAfter);
    EXPECT_EQ(page.defaults.stringValue("customPrompt"), c.promptAfter);
    EXPECT_THAT(page.posts("/style"), ElementsAreArray(c.styleRequests));
    EXPECT_THAT(page.posts("/profile"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Settings, StyleChoice,
    ::testing::Values(
        StyleCase{"FirstRunShowsProfessionalAndSendsNothing",
                  {},
                  {},
                  {},
                  "Professional",
                  "Proper capitalization, full punctuation, clean and formal",
                  professionalPrompt,
                  false,
                  {},
                  {},
                  {}},
        StyleCase{"ChoosingMinimalStoresAndSendsOnlyThePreset",
                  {},
                  "keep me",
                  "minimal",
                  "Minimal",
                  "Barely touch it — just fix speech-to-text errors",
                  minimalPrompt,
                  false,
                  "minimal",
                  "keep me",
                  {json{{"style_preset", "minimal"}}}},
        StyleCase{"ChoosingCustomDropsAnOldBuiltInPrompt",
                  "casual",
                  "You are a text post-processor. Clean up the transcript.",
                  "custom",
                  "Custom",
                  "Add your tone preferences — core transcription rules are always applied",
                  "",
                  true,
                  "custom",
                  "",
                  {}},
        StyleCase{"StoredCustomDropsTheOtherOldPromptWhenShown",
                  "custom",
                  "CRITICAL: The user message contains a raw transcript of speech",
                  {},
                  "Custom",
                  "Add your tone preferences — core transcription rules are always applied",
                  "",
                  true,
                  "custom",
                  "",
                  {}},
        StyleCase{"StoredCustomPromptIsShownForEditing",
                  "custom",
                  "Use British spelling.",
                  {},
                  "Custom",
                  "Add your tone preferences — core transcription rules are always applied",
                  "Use British spelling.",
                  true,
                  "custom",
                  "Use British spelling.",
                  {}},
        StyleCase{"PromptsDifferingInCaseAreKept",
                  "custom",
                  "you are a text post-processor",
                  {},
                  "Custom",
                  "Add your tone preferences — core transcription rules are always applied",
                  "you are a text post-processor",
                  true,
                  "custom",
                  "you are a text post-processor",
                  {}},
        StyleCase{"UnknownStoredIdShowsNothingButKeepsTheFirstItem",
                  "shouty",
                  {},
                  {},
                  "Professional",
                  "",
                  "",
                  false,
                  "shouty",
                  {},
                  {}},
        StyleCase{"LeavingCustomForCasualSendsCasualWithoutPrompt",
                  "custom",
                  "Be terse.",
                  "casual",
                  "Casual",
                  "All lowercase, minimal punctuation, like a text message",
                  "Keep everything lowercase — no capitalization at all, like a casual text "
                  "message. Minimal punctuation — commas, periods, question marks where needed, "
                  "but keep it scrappy.",
                  false,
                  "casual",
                  "Be terse.",
                  {json{{"style_preset", "casual"}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SavePrompt, BlankPromptIsIgnored) {
    SettingsPage page;
    page.defaults.set("stylePreset", "casual");
    SettingsView& view = page.build();
    SettingsPage::choose(view.stylePopup(), QStringLiteral("custom"));
    view.promptBox()->setPlainText(QStringLiteral("  \n \t\n  "));
    view.savePromptButton()->click();

    EXPECT_EQ(page.defaults.stringValue("stylePreset"), "custom"); // from choosing, not saving
    EXPECT_EQ(page.defaults.stringValue("customPrompt"), std::nullopt);
    EXPECT_THAT(page.posts("/style"), IsEmpty());
    EXPECT_EQ(view.savePromptButton()->text(), QStringLiteral("Save Prompt"));
}

TEST(SavePrompt, StoresTrimmedPromptSendsItAndConfirmsForOneAndAHalfSeconds) {
    SettingsPage page;
    page.defaults.set("stylePreset", "custom");
    SettingsView& view = page.build();
    view.promptBox()->setPlainText(QStringLiteral("\n  Write like a ship's log.\n\n  "));
    view.savePromptButton()->click();

    EXPECT_EQ(page.defaults.stringValue("stylePreset"), "custom");
    EXPECT_EQ(page.defaults.stringValue("customPrompt"), "Write like a ship's log.");
    EXPECT_THAT(page.posts("/style"),
                ElementsAre(json{{"style_preset", "custom"},
                                 {"custom_prompt", "Write like a ship's log."}}));
    EXPECT_EQ(view.savePromptButton()->text(), QStringLiteral("Saved ✓"));
    page.scheduler.advance(1.45);
    EXPECT_EQ(view.savePromptButton()->text(), QStringLiteral("Saved ✓"));
    page.scheduler.advance(0.1);
    EXPECT_EQ(view.savePromptButton()->text(), QStringLiteral("Save Prompt"));
}

// --- Hotkey popup, switches, microphone ---

TEST(HotkeyPopup, ListsEveryOptionAndPostsTheChosenOne) {
    SettingsPage page;
    page.defaults.set("hotkeyOption", "leftOption");
    page.defaults.set("customHotkeyName", "F9");
    SettingsView& view = page.build();
    QStringList titles;
    for (int i = 0; i < view.hotkeyPopup()->count(); ++i) {
        titles << view.hotkeyPopup()->itemText(i);
    }
    EXPECT_EQ(titles, QStringList({"Right Super", "Left Super", "Right Alt", "Left Alt",
                                   "Right Ctrl", "Left Ctrl", "Fn", "F9"}));
    EXPECT_EQ(view.hotkeyPopup()->currentText(), QStringLiteral("Left Alt"));

    for (const char* raw : {"rightCmd", "fn", "leftControl"}) {
        SettingsPage::choose(view.hotkeyPopup(), QString::fromLatin1(raw));
    }
    EXPECT_THAT(page.hotkeyPosts, ElementsAre("rightCmd", "fn", "leftControl"));
    // The hotkey components store the choice; the page itself does not.
    EXPECT_EQ(page.defaults.stringValue("hotkeyOption"), "leftOption");
}

struct SwitchCase {
    const char* name;
    QAbstractButton* (SettingsView::*control)() const;
    bool SettingsPage::*setting;
    const char* label;
    friend void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }
};

class Switches : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(Switches, StartFromTheSettingAndWriteEveryToggle) {
    const SwitchCase& c = GetParam();
    for (const bool initially : {false, true}) {
        SettingsPage page;
        page.holdMode = page.autoEnter = page.soundFeedback = !initially;
        page.*c.setting = initially;
        SettingsView& view = page.build();
        QAbstractButton* toggle = (view.*c.control)();
        EXPECT_EQ(toggle->isChecked(), initially);
        EXPECT_THAT(page.switchWrites, IsEmpty());

        toggle->click();
        toggle->click();
        const std::string on = std::string(c.label) + "=on";
        const std::string off = std::string(c.label) + "=off";
        EXPECT_THAT(page.switchWrites, initially ? ElementsAre(off, on) : ElementsAre(on, off));
        EXPECT_EQ(page.*c.setting, initially);
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, Switches,
                         ::testing::Values(SwitchCase{"HoldToRecord", &SettingsView::holdModeSwitch,
                                                      &SettingsPage::holdMode, "hold"},
                                           SwitchCase{"AutoEnter", &SettingsView::autoEnterSwitch,
                                                      &SettingsPage::autoEnter, "autoEnter"},
                                           SwitchCase{"SoundFeedback",
                                                      &SettingsView::soundFeedbackSwitch,
                                                      &SettingsPage::soundFeedback, "sound"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Microphone, FollowsTheCurrentDeviceOnTheMainQueue) {
    SettingsPage page;
    SettingsView& view = page.build();
    EXPECT_EQ(view.micLabel()->text(), QStringLiteral("System Default"));

    page.appState.currentMicName.set("USB Desk Mic");
    page.center.post(notifications::micNameChanged);
    page.scheduler.runUntilIdle();
    EXPECT_EQ(view.micLabel()->text(), QStringLiteral("USB Desk Mic"));

    page.appState.currentMicName.set(std::nullopt);
    page.center.post(notifications::micNameChanged);
    page.scheduler.runUntilIdle();
    EXPECT_EQ(view.micLabel()->text(), QStringLiteral("System Default"));
}

// --- Capsule size ---

struct SizeCase {
    const char* name;
    std::optional<std::string> stored;
    int initiallyChecked;
    int click;
    const char* storedAfter;
    QSize previewSize;
    friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }
};

class CapsuleSizeChoice : public ::testing::TestWithParam<SizeCase> {};

TEST_P(CapsuleSizeChoice, StoresPostsOnceAndShowsExactlyOnePreview) {
    const SizeCase& c = GetParam();
    SettingsPage page;
    if (c.stored) {
        page.defaults.set("capsuleSize", DefaultsValue(*c.stored));
    }
    SettingsView& view = page.build();
    EXPECT_EQ(view.sizeSegments()->checkedId(), c.initiallyChecked);

    view.sizeSegments()->button(c.click)->click();

    EXPECT_EQ(page.defaults.stringValue("capsuleSize"), c.storedAfter);
    EXPECT_EQ(page.sizePosts, 1);
    const auto previews = view.findChildren<QWidget*>(QStringLiteral("capsulePreview"));
    ASSERT_EQ(previews.size(), 1);
    EXPECT_EQ(previews[0], view.capsulePreview());
    EXPECT_EQ(previews[0]->parentWidget(), view.previewArea());
    EXPECT_EQ(previews[0]->size(), c.previewSize);
    EXPECT_EQ(view.previewArea()->height(), 60);
    // Centred in the preview area.
    EXPECT_NEAR(previews[0]->geometry().center().x(), view.previewArea()->width() / 2, 1);
    EXPECT_NEAR(previews[0]->geometry().center().y(), 30, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, CapsuleSizeChoice,
    ::testing::Values(SizeCase{"SmallToLarge", "small", 0, 2, "large", {300, 46}},
                      SizeCase{"UnknownStoredShowsMedium", "gigantic", 1, 0, "small", {130, 26}},
                      SizeCase{"SameSizeAgainStillApplies", "medium", 1, 1, "medium", {200, 34}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CapsulePreview, BarsSitBetweenThePaddingAndTheTime) {
    for (const CapsuleSize size : CapsuleSize::allCases()) {
        std::unique_ptr<QWidget> capsule(SettingsView::buildCapsulePreview(size));
        const auto bars = capsule->findChildren<StaticEQView*>();
        const auto* time = capsule->findChild<QLabel*>();
        ASSERT_EQ(bars.size(), 2);
        ASSERT_NE(time, nullptr);
        EXPECT_EQ(time->text(), QStringLiteral("0:12"));
        const QRect left = bars[0]->geometry();
        const QRect right = bars[1]->geometry();
        EXPECT_EQ(left.x(), size.horizontalPad());
        EXPECT_EQ(left.x() + left.width(), time->geometry().x() - 6);
        EXPECT_EQ(right.x(), time->geometry().x() + time->width() + 6);
        EXPECT_EQ(right.x() + right.width(), size.width() - size.horizontalPad());
        EXPECT_EQ(left.height(), size.eqHeight());
        EXPECT_EQ(left.center().y(), QRect(0, 0, size.width(), size.height()).center().y());
    }
}

// --- Vocabulary ---

struct VocabCase {
    const char* name;
    std::optional<std::string> file; // none: no file
    std::vector<std::string> words;
    friend void PrintTo(const VocabCase& c, std::ostream* os) { *os << c.name; }
};

class VocabLoading : public ::testing::TestWithParam<VocabCase> {};

TEST_P(VocabLoading, ShowsTheTrimmedNonEmptyWordsInOrder) {
    const VocabCase& c = GetParam();
    SettingsPage page;
    if (c.file) {
        page.writeVocabFile(*c.file);
    }
    SettingsView& view = page.build();
    std::vector<std::string> shown;
    for (const QString& w : view.vocabEditor()->words()) {
        shown.push_back(w.toStdString());
    }
    EXPECT_EQ(shown, c.words);
    EXPECT_EQ(view.loadVocabWords(), view.vocabEditor()->words());
    EXPECT_THAT(page.posts("/profile"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Settings, VocabLoading,
    ::testing::Values(VocabCase{"SpacesEmptyPiecesAndTrailingComma",
                                R"({"vocab":"  alpha , beta,, gamma ,"})",
                                {"alpha", "beta", "gamma"}},
                      VocabCase{"TabsAreTrimmedInnerSpacesKept",
                                "{\"vocab\":\"\\tNew York\\t,São Paulo\"}",
                                {"New York", "São Paulo"}},
                      VocabCase{"OnlyCommas", R"({"vocab":" , ,,"})", {}},
                      VocabCase{"MissingFile", std::nullopt, {}},
                      VocabCase{"NotJson", "alpha, beta", {}},
                      VocabCase{"NotAnObject", R"(["alpha"])", {}},
                      VocabCase{"VocabIsANumber", R"({"vocab":42})", {}},
                      VocabCase{"VocabIsAList", R"({"vocab":["alpha","beta"]})", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VocabEditing, WritesTheFileKeepingOtherMembersAndSyncs) {
    SettingsPage page;
    page.writeVocabFile(R"({"theme":"dark","vocab":"alpha"})");
    SettingsView& view = page.build();
    VocabTagEditor* editor = view.vocabEditor();

    QTest::keyClicks(editor->inputField(), QStringLiteral("beta"));
    QTest::keyClick(editor->inputField(), Qt::Key_Return);
    EXPECT_EQ(json::parse(page.vocabFile()), (json{{"theme", "dark"}, {"vocab", "alpha, beta"}}));

    ASSERT_EQ(editor->tags().size(), 2);
    editor->tags()[0]->findChild<QPushButton*>()->click();
    EXPECT_EQ(json::parse(page.vocabFile()), (json{{"theme", "dark"}, {"vocab", "beta"}}));
    EXPECT_THAT(page.posts("/profile"),
                ElementsAre(json{{"vocab", "alpha, beta"}}, json{{"vocab", "beta"}}));
}

TEST(VocabEditing, ACorruptFileIsReplacedByTheEditedVocabulary) {
    SettingsPage page;
    page.writeVocabFile("{not json");
    SettingsView& view = page.build();
    QTest::keyClicks(view.vocabEditor()->inputField(), QStringLiteral("gamma"));
    QTest::keyClick(view.vocabEditor()->inputField(), Qt::Key_Return);
    EXPECT_EQ(json::parse(page.vocabFile()), (json{{"vocab", "gamma"}}));
    EXPECT_THAT(page.posts("/profile"), ElementsAre(json{{"vocab", "gamma"}}));
}

} // namespace
} // namespace skrib::testing
