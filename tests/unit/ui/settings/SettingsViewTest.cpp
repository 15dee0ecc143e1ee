// The settings page over real parts: the service client on the fake HTTP stack, defaults in
// memory, the main queue on virtual time, the real X key translation, and a vocabulary file
// in a temporary home folder.

#include "FakeHttp.h"
#include "FakeScheduler.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "app/AppState.h"
#include "app/Notifications.h"
#include "input/HotkeyOption.h"
#include "input/x11/X11KeyTranslator.h"
#include "platform/NotificationCenter.h"
#include "service/RefineClient.h"
#include "ui/settings/SettingsView.h"
#include "ui/settings/VocabTagEditor.h"

#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace skrib::testing {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct SettingsPage {
    SettingsView& build() {
        auto sw = [this](bool& value, const char* name) {
            return SettingsView::Switch{[&value] { return value; }, [this, &value, name](bool on) {
                                            value = on;
                                            switchWrites.push_back(name + std::string(on ? "=on" : "=off"));
                                        }};
        };
        view = std::make_unique<SettingsView>(SettingsView::Environment{
            defaults, scheduler, center, appState, [this] { return &client; },
            sw(holdMode, "hold"), sw(autoEnter, "autoEnter"), sw(soundFeedback, "sound"),
            [](std::uint32_t scanCode) { return X11KeyTranslator::virtualKeyCode(scanCode); }});
        view->resize(640, 900);
        view->show();
        return *view;
    }
    /// JSON bodies of the POST requests to `path`.
    std::vector<json> posts(const std::string& path) const {
        std::vector<json> out;
        for (const auto& sent : http.sent()) {
            if (sent.request.method == "POST" && sent.request.url == "http://127.0.0.1:8787" + path) {
                out.push_back(json::parse(sent.request.body));
            }
        }
        return out;
    }
    std::string vocabFile() const { return home.filePath(".vantu-skrib-backend.json").toStdString(); }
    /// Chooses the item carrying `data` as the user would.
    static void choose(QComboBox* popup, const char* data) {
        popup->setCurrentIndex(popup->findData(QString::fromUtf8(data)));
        emit popup->activated(popup->currentIndex());
    }

    LogCapture log;
    QTemporaryDir home;
    FakeHttpClient http;
    MemorySecretStore secrets;
    MemoryDefaults defaults;
    FakeScheduler scheduler;
    NotificationCenter center;
    AppState appState;
    RefineClient client{{http, secrets, defaults, "http://127.0.0.1:8787",
                         home.path().toStdString(), "Desk", "6.1.0"}};
    std::unique_ptr<SettingsView> view;
    bool holdMode = false, autoEnter = false, soundFeedback = false;
    std::vector<std::string> switchWrites;
    std::vector<std::string> hotkeyPosts; // raw values of the announced options
    int sizePosts = 0;
    Subscription hotkeyObservation = center.addObserver(
        notifications::hotkeyChanged, nullptr, [this](const Notification& n) {
            const auto* option = std::any_cast<HotkeyOption>(&n.object);
            hotkeyPosts.push_back(option != nullptr ? std::string(option->rawValue()) : "?");
        });
    Subscription sizeObservation = center.addObserver(
        notifications::capsuleSizeChanged, nullptr, [this](const Notification&) { ++sizePosts; });
};

TEST(SettingsView, ShowsTheStoredSettingsAndWritesEveryChange) {
    SettingsPage page;
    page.defaults.set("stylePreset", "casual");
    page.defaults.set("capsuleSize", "small");
    page.defaults.set("hotkeyOption", "leftOption");
    page.holdMode = true;
    std::ofstream(page.vocabFile()) << R"({"theme":"dark","vocab":" alpha ,\tbeta,, "})";
    SettingsView& view = page.build();
    EXPECT_EQ(view.stylePopup()->currentText(), "Casual");
    EXPECT_TRUE(view.promptBox()->isReadOnly());
    EXPECT_EQ(view.sizeSegments()->checkedId(), 0);
    EXPECT_EQ(view.hotkeyPopup()->currentText(), "Left Alt");
    EXPECT_TRUE(view.holdModeSwitch()->isChecked());
    EXPECT_FALSE(view.autoEnterSwitch()->isChecked());
    EXPECT_EQ(view.vocabEditor()->words(), QStringList({"alpha", "beta"}));
    EXPECT_TRUE(page.posts("/style").empty() && page.posts("/profile").empty()) << "sent on opening";

    SettingsPage::choose(view.stylePopup(), "minimal");
    EXPECT_EQ(page.defaults.stringValue("stylePreset"), "minimal");
    view.sizeSegments()->button(2)->click();
    EXPECT_EQ(page.defaults.stringValue("capsuleSize"), "large");
    EXPECT_EQ(page.sizePosts, 1);
    EXPECT_EQ(view.capsulePreview()->size(), QSize(300, 46));
    SettingsPage::choose(view.hotkeyPopup(), "fn");
    EXPECT_THAT(page.hotkeyPosts, ElementsAre("fn"));
    for (auto* control : {view.holdModeSwitch(), view.autoEnterSwitch(), view.soundFeedbackSwitch()}) {
        control->click();
    }
    EXPECT_THAT(page.switchWrites, ElementsAre("hold=off", "autoEnter=on", "sound=on"));

    QTest::keyClicks(view.vocabEditor()->inputField(), "gamma");
    QTest::keyClick(view.vocabEditor()->inputField(), Qt::Key_Return);
    view.vocabEditor()->tags()[0]->findChild<QPushButton*>()->click();
    EXPECT_EQ(json::parse(std::ifstream(page.vocabFile())),
              (json{{"theme", "dark"}, {"vocab", "beta, gamma"}}));
    EXPECT_THAT(page.posts("/profile"),
                ElementsAre(json{{"vocab", "alpha, beta, gamma"}}, json{{"vocab", "beta, gamma"}}));

    SettingsPage::choose(view.stylePopup(), "custom");
    view.promptBox()->setPlainText(" \n\t ");
    view.savePromptButton()->click(); // a blank prompt is not saved
    view.promptBox()->setPlainText("\n  Write like a ship's log.\n ");
    view.savePromptButton()->click();
    EXPECT_EQ(page.defaults.stringValue("customPrompt"), "Write like a ship's log.");
    EXPECT_THAT(page.posts("/style"),
                ElementsAre(json{{"style_preset", "minimal"}},
                            json{{"style_preset", "custom"},
                                 {"custom_prompt", "Write like a ship's log."}}));
}

enum class Then { returnKey, backspace, leaveField, removeFirst };

struct EditCase {
    const char* name;
    QStringList initial;
    const char* typed;
    Then then;
    QStringList wordsAfter;
    bool reported; // whether the change reached the owner
};

class TagEditing : public ::testing::TestWithParam<EditCase> {};

TEST_P(TagEditing, ChangesTheListAndReportsOnlyRealChanges) {
    const EditCase& c = GetParam();
    std::vector<QStringList> changes;
    VocabTagEditor editor(c.initial, [&](const QStringList& w) { changes.push_back(w); });
    editor.resize(400, editor.height());
    editor.show();
    QTest::keyClicks(editor.inputField(), QString::fromUtf8(c.typed));
    if (c.then == Then::returnKey) {
        QTest::keyClick(editor.inputField(), Qt::Key_Return);
    } else if (c.then == Then::backspace) {
        QTest::keyClick(editor.inputField(), Qt::Key_Backspace);
    } else if (c.then == Then::leaveField) {
        QFocusEvent out(QEvent::FocusOut, Qt::MouseFocusReason);
        QCoreApplication::sendEvent(editor.inputField(), &out);
    } else {
        editor.tags()[0]->findChild<QPushButton*>()->click();
    }
    EXPECT_EQ(editor.words(), c.wordsAfter);
    EXPECT_EQ(editor.tags().size(), c.wordsAfter.size());
    EXPECT_EQ(changes, c.reported ? std::vector{c.wordsAfter} : std::vector<QStringList>{});
}

INSTANTIATE_TEST_SUITE_P(
    Vocabulary, TagEditing,
    ::testing::Values(
        EditCase{"ReturnAddsTheTrimmedWord", {"alpha"}, " ,gamma ray, ", Then::returnKey,
                 {"alpha", "gamma ray"}, true},
        EditCase{"DuplicateIgnoringCaseIsNotAdded", {"Kubernetes"}, "kUBERNETES", Then::returnKey,
                 {"Kubernetes"}, false},
        EditCase{"BlankIsNotAdded", {"alpha"}, "  ,  ", Then::returnKey, {"alpha"}, false},
        EditCase{"LeavingTheFieldAddsTheWord", {}, "delta", Then::leaveField, {"delta"}, true},
        EditCase{"BackspaceOnAnEmptyFieldRemovesTheLastWord", {"alpha", "beta"}, "",
                 Then::backspace, {"alpha"}, true},
        EditCase{"BackspaceWhileTypingKeepsTheWords", {"alpha"}, "bet", Then::backspace,
                 {"alpha"}, false},
        EditCase{"BackspaceWithNoWordsDoesNothing", {}, "", Then::backspace, {}, false},
        EditCase{"RemoveButtonRemovesItsOwnWord", {"alpha", "beta", "gamma"}, "",
                 Then::removeFirst, {"beta", "gamma"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// X key codes of a standard PC keyboard.
constexpr std::uint32_t xEscape = 9, xQ = 24, xSeven = 16, xLeftShift = 50, xF5 = 71;

struct Press {
    int key;
    std::uint32_t scanCode;
    const char* text;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};

struct RecorderCase {
    const char* name;
    std::vector<Press> presses; // none: the Cancel button
    const char* recorded;       // null: nothing; empty: named by its key code
    std::uint32_t scanCode = 0;
};

class KeyRecorder : public ::testing::TestWithParam<RecorderCase> {};

TEST_P(KeyRecorder, RecordsTheFirstKeyOrLeavesTheHotkeyAlone) {
    const RecorderCase& c = GetParam();
    SettingsPage page;
    page.defaults.set("hotkeyOption", "leftOption");
    SettingsView& view = page.build();
    bool dialogSeen = false;
    QTimer::singleShot(0, &view, [&] {
        auto* dialog = view.findChild<QDialog*>(QStringLiteral("keyRecorder"));
        dialogSeen = dialog != nullptr && dialog->isVisible();
        for (const Press& p : c.presses) {
            QKeyEvent press(QEvent::KeyPress, p.key, p.modifiers, p.scanCode, 0, 0,
                            QString::fromUtf8(p.text));
            QCoreApplication::sendEvent(dialog->focusWidget() ? dialog->focusWidget() : dialog, &press);
        }
        if (c.presses.empty()) {
            dialog->findChild<QPushButton*>()->click(); // Cancel
        }
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the key recorder did not close";
            dialog->reject();
        }
    });
    SettingsPage::choose(view.hotkeyPopup(), "custom");
    ASSERT_TRUE(dialogSeen);
    if (c.recorded == nullptr) {
        EXPECT_EQ(view.hotkeyPopup()->currentText(), "Left Alt");
        EXPECT_EQ(page.defaults.value("customHotkeyName"), std::nullopt);
        EXPECT_THAT(page.hotkeyPosts, IsEmpty());
        return;
    }
    const auto code = X11KeyTranslator::virtualKeyCode(c.scanCode);
    const std::string name = *c.recorded ? c.recorded : "Key " + std::to_string(code);
    EXPECT_EQ(page.defaults.integerValue("customHotkeyCode"), code);
    EXPECT_EQ(page.defaults.integerValue("customHotkeyFlags"), 0);
    EXPECT_EQ(page.defaults.stringValue("customHotkeyName"), name);
    EXPECT_EQ(view.hotkeyPopup()->currentText().toStdString(), "Custom: " + name);
    EXPECT_THAT(page.hotkeyPosts, ElementsAre("custom"));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, KeyRecorder,
    ::testing::Values(
        RecorderCase{"LetterIsNamedUpperCase", {{Qt::Key_Q, xQ, "q"}}, "Q", xQ},
        RecorderCase{"ModifiersAreLeftOut", {{Qt::Key_Q, xQ, "\x11", Qt::ControlModifier}}, "Q", xQ},
        RecorderCase{"ModifierKeyAloneIsNotRecorded",
                     {{Qt::Key_Shift, xLeftShift, ""}, {Qt::Key_7, xSeven, "7"}}, "7", xSeven},
        RecorderCase{"KeyWithoutTextIsNamedByCode", {{Qt::Key_F5, xF5, ""}}, "", xF5},
        RecorderCase{"EscapeCancels", {{Qt::Key_Escape, xEscape, "\x1b"}}, nullptr},
        RecorderCase{"EscapeByKeyPositionCancels", {{Qt::Key_unknown, xEscape, ""}}, nullptr},
        RecorderCase{"CancelButton", {}, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace skrib::testing
