// The settings page over real parts: the service client on the fake HTTP stack, the main queue
// on virtual time, the real X key translation and a vocabulary file in a temporary home.

#include "ui/settings/SettingsView.h"

#include "ServiceParts.h"
#include "input/HotkeyOption.h"
#include "platform/x11/X11KeyTranslator.h"
#include "state/Notifications.h"
#include "platform/posix/Autostart.h"
#include "ui/settings/VocabTagEditor.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace skrib::testing {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;

struct SettingsPage : ServiceParts {
    SettingsView::Switch recorded(bool& value, std::string name) {
        const auto write = [=, this, &value](bool on) {
            switchWrites.push_back(name + std::to_string(value = on));
        };
        return {[&value] { return value; }, write};
    }
    SettingsView& build() {
        view = std::make_unique<SettingsView>(SettingsView::Environment{
            defaults, queue, center, appState, [this] { return &client; },
            recorded(holdMode, "hold"), recorded(autoEnter, "autoEnter"), recorded(sound, "sound"),
            {[this] { return autostart.isEnabled(); },
             [this](bool on) { autostart.setEnabled(on); }},
            [](std::uint32_t scanCode) { return X11KeyTranslator::virtualKeyCode(scanCode); },
            &X11KeyTranslator::delivers});
        view->show();
        return *view;
    }
    std::vector<json> posts(const std::string& path) const {
        std::vector<json> out;
        for (const auto& sent : http.sent()) {
            if (sent.request.method == "POST" && sent.request.url.ends_with(path)) {
                out.push_back(json::parse(sent.request.body));
            }
        }
        return out;
    }
    /// Chooses the item carrying `data` as the user would.
    static void choose(QComboBox* popup, const char* data) {
        popup->setCurrentIndex(popup->findData(QString::fromUtf8(data)));
        emit popup->activated(popup->currentIndex());
    }

    std::string vocabFile = home.filePath(".vantu-skrib-backend.json").toStdString();
    // Started at login through a link whose name needs quoting in the entry.
    std::string program = home.filePath("Vantu \"Skrib\" $HOME`x`").toStdString();
    Autostart autostart{home.filePath("config").toStdString(), program};
    std::unique_ptr<SettingsView> view;
    bool holdMode = false, autoEnter = false, sound = false;
    std::vector<std::string> switchWrites, hotkeyPosts; // raw values of the announced options
    int sizePosts = 0;
    Subscription hotkeyObservation =
        center.addObserver(notifications::hotkeyChanged, nullptr, [this](const Notification& n) {
            hotkeyPosts.emplace_back(std::any_cast<HotkeyOption>(n.object).rawValue());
        });
    Subscription sizeObservation = center.addObserver(notifications::capsuleSizeChanged, nullptr,
                                                      [this](const Notification&) { ++sizePosts; });
};

TEST(SettingsView, ShowsTheStoredSettingsAndWritesEveryChange) {
    SettingsPage page;
    page.defaults.set("stylePreset", "casual");
    page.defaults.set("capsuleSize", "small");
    page.defaults.set("hotkeyOption", "leftOption");
    page.holdMode = true;
    std::ofstream(page.vocabFile) << R"({"theme":"dark","vocab":" alpha ,\tbeta,, "})";
    SettingsView& view = page.build();
    EXPECT_EQ(view.stylePopup()->currentText(), "Casual");
    EXPECT_TRUE(view.promptBox()->isReadOnly());
    EXPECT_EQ(view.sizeSegments()->checkedId(), 0);
    EXPECT_EQ(view.hotkeyPopup()->currentText(), "Left Alt");
    EXPECT_TRUE(view.holdModeSwitch()->isChecked());
    EXPECT_FALSE(view.autoEnterSwitch()->isChecked());
    EXPECT_EQ(view.vocabEditor()->words(), QStringList({"alpha", "beta"}));

    SettingsPage::choose(view.stylePopup(), "minimal");
    EXPECT_EQ(page.defaults.stringValue("stylePreset"), "minimal");
    view.sizeSegments()->button(2)->click();
    EXPECT_EQ(page.defaults.stringValue("capsuleSize"), "large");
    EXPECT_EQ(page.sizePosts, 1);
    EXPECT_EQ(view.hotkeyPopup()->findData("fn"), -1) << "X never delivers Fn";
    SettingsPage::choose(view.hotkeyPopup(), "leftControl");
    EXPECT_THAT(page.hotkeyPosts, ElementsAre("leftControl"));
    for (auto* control :
         {view.holdModeSwitch(), view.autoEnterSwitch(), view.soundFeedbackSwitch()}) {
        control->click();
    }
    EXPECT_THAT(page.switchWrites, ElementsAre("hold0", "autoEnter1", "sound1"));

    QTest::keyClicks(view.vocabEditor()->inputField(), "gamma");
    QTest::keyClick(view.vocabEditor()->inputField(), Qt::Key_Return);
    view.vocabEditor()->tags()[0]->findChild<QPushButton*>()->click();
    EXPECT_EQ(json::parse(std::ifstream(page.vocabFile)),
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

TEST(SettingsView, StartAtLoginAddsAnEntryThatStartsTheProgramAndTakesItAway) {
    if (!std::filesystem::exists(SKRIB_PROGRAM)) { // the sanitizer trees build the tests alone
        GTEST_SKIP() << SKRIB_PROGRAM << " is not built in this tree";
    }
    SettingsPage page;
    std::filesystem::create_symlink(SKRIB_PROGRAM, page.program);
    SettingsView& view = page.build();
    ASSERT_FALSE(view.startAtLoginSwitch()->isChecked()) << "off until switched on";
    view.startAtLoginSwitch()->click();
    std::ifstream entry(page.autostart.entryPath());
    std::string line, exec;
    while (std::getline(entry, line)) {
        if (line.starts_with("Exec=\"") && line.ends_with("\"")) {
            for (std::size_t i = 6; i + 1 < line.size(); ++i) { // "\\X" stands for X
                exec += line.substr(i += line.compare(i, 2, "\\\\") == 0 ? 2 : 0, 1);
            }
        }
    }
    QProcess started;
    started.start(QString::fromStdString(exec), {"--version"});
    ASSERT_TRUE(started.waitForFinished(10000)) << exec;
    EXPECT_TRUE(started.readAllStandardOutput().startsWith("Vantu Skrib "));
    view.startAtLoginSwitch()->click();
    EXPECT_FALSE(std::filesystem::exists(page.autostart.entryPath()));
    EXPECT_FALSE(view.startAtLoginSwitch()->isChecked());
}

TEST(SettingsView, ShowsAndKeepsTheVocabularySeededAfterThePageWasBuilt) {
    for (const bool editFirst : {false, true}) { // edits before the page hears of the words
        SettingsPage page;
        VocabTagEditor& editor = *page.build().vocabEditor();
        page.http.respond(1, 200, R"({"vocab":"alpha, beta"})"); // 0 registers, 1 the profile
        if (editFirst) {
            QTest::keyClicks(editor.inputField(), "gamma");
            QTest::keyClick(editor.inputField(), Qt::Key_Return);
            editor.tags().back()->findChild<QPushButton*>()->click();
            EXPECT_THAT(page.posts("/profile"), ElementsAre(json{{"vocab", "alpha, beta, gamma"}},
                                                            json{{"vocab", "alpha, beta"}}));
        }
        page.queue.runUntilIdle();
        EXPECT_EQ(editor.words(), QStringList({"alpha", "beta"}));
    }
}

TEST(VocabTagEditor, ChangesTheListAndReportsOnlyRealChanges) {
    enum class Then { enter, backspace, leave, removeFirst };
    const struct { QStringList before; const char* typed; Then then; QStringList after; const char* change; } cases[] = {
        {{"a"}, " ,new word, ", Then::enter, {"a", "new word"}, "+new word"}, // trimmed
        {{"Kube"}, "kUBE", Then::enter, {"Kube"}, ""},                         // duplicate ignoring case
        {{"a"}, "  ,  ", Then::enter, {"a"}, ""},                              // blank
        {{}, "delta", Then::leave, {"delta"}, "+delta"},                       // leaving the field adds it
        {{"a", "b"}, "", Then::backspace, {"a"}, "-b"},                        // removes the last word
        {{"a"}, "bet", Then::backspace, {"a"}, ""},                            // while typing: only a letter
        {{}, "", Then::backspace, {}, ""},
        {{"a", "b", "c"}, "", Then::removeFirst, {"b", "c"}, "-a"}};           // a tag's remove button
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        QString changes;
        VocabTagEditor editor(c.before, [&](const QString& w, bool added) { changes += (added ? "+" : "-") + w; });
        editor.show();
        QTest::keyClicks(editor.inputField(), QString::fromUtf8(c.typed));
        if (c.then == Then::enter || c.then == Then::backspace) {
            QTest::keyClick(editor.inputField(),
                            c.then == Then::enter ? Qt::Key_Return : Qt::Key_Backspace);
        } else if (c.then == Then::leave) {
            QFocusEvent out(QEvent::FocusOut, Qt::MouseFocusReason);
            QCoreApplication::sendEvent(editor.inputField(), &out);
        } else {
            editor.tags()[0]->findChild<QPushButton*>()->click();
        }
        EXPECT_EQ(editor.words(), c.after);
        EXPECT_EQ(editor.tags().size(), c.after.size());
        EXPECT_EQ(changes, c.change);
    }
}

// X key codes of a standard PC keyboard.
constexpr std::uint32_t xEscape = 9, xQ = 24, x7 = 16, xShift = 50, xF5 = 71;

struct Press { int key; std::uint32_t scan; const char* text; Qt::KeyboardModifiers mod{}; };

TEST(KeyRecorder, RecordsTheFirstKeyOrLeavesTheHotkeyAlone) {
    // No presses: the Cancel button. Recorded null: nothing; empty: named by its key code.
    const struct { std::vector<Press> presses; const char* recorded; } cases[] = {
        {{{Qt::Key_Q, xQ, "q"}}, "Q"},                                  // named upper case
        {{{Qt::Key_Q, xQ, "\x11", Qt::ControlModifier}}, "Q"},          // Ctrl is left out
        {{{Qt::Key_Shift, xShift, ""}, {Qt::Key_7, x7, "7"}}, "7"},      // a modifier alone is not
        {{{Qt::Key_F5, xF5, ""}}, ""},
        {{{Qt::Key_unknown, xEscape, ""}}, nullptr}, // Escape by its key position cancels
        {{}, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        SettingsPage page;
        page.defaults.set("hotkeyOption", "leftOption");
        SettingsView& view = page.build();
        bool dialogSeen = false;
        QTimer::singleShot(0, &view, [&] {
            auto* dialog = view.findChild<QDialog*>(QStringLiteral("keyRecorder"));
            dialogSeen = dialog != nullptr && dialog->isVisible();
            for (const Press& p : c.presses) {
                QKeyEvent press(QEvent::KeyPress, p.key, p.mod, p.scan, 0, 0, p.text);
                QCoreApplication::sendEvent(dialog, &press);
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
        const std::int64_t code =
            c.recorded ? X11KeyTranslator::virtualKeyCode(c.presses.back().scan) : 0;
        const std::string name = !c.recorded  ? ""
                                 : *c.recorded ? c.recorded
                                               : "Key " + std::to_string(code);
        EXPECT_EQ(page.defaults.integerValue("customHotkeyCode").value_or(0), code);
        EXPECT_EQ(page.defaults.integerValue("customHotkeyFlags").value_or(0), 0);
        EXPECT_EQ(page.defaults.stringValue("customHotkeyName").value_or(""), name);
        EXPECT_EQ(view.hotkeyPopup()->currentText().toStdString(),
                  c.recorded ? "Custom: " + name : "Left Alt");
        EXPECT_EQ(page.hotkeyPosts, std::vector<std::string>(c.recorded ? 1 : 0, "custom"));
    }
}

} // namespace
} // namespace skrib::testing
