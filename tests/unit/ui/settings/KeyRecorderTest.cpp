#include "SettingsPage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>

#include <QCoreApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>

namespace skrib::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// X key codes of a standard PC keyboard.
constexpr std::uint32_t xEscape = 9;
constexpr std::uint32_t xQ = 24;
constexpr std::uint32_t xSeven = 16;
constexpr std::uint32_t xLeftShift = 50;
constexpr std::uint32_t xF5 = 71;

struct Press {
    int key;
    std::uint32_t scanCode;
    const char* text;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};

struct RecorderCase {
    const char* name;
    std::vector<Press> presses;
    bool clickCancel;
    std::optional<std::string> recordedName; // none: nothing recorded
    std::uint32_t recordedScanCode = 0;
    friend void PrintTo(const RecorderCase& c, std::ostream* os) { *os << c.name; }
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
        if (dialog == nullptr || !dialog->isVisible()) {
            return; // reported below
        }
        dialogSeen = true;
        for (const Press& p : c.presses) {
            QKeyEvent press(QEvent::KeyPress, p.key, p.modifiers, p.scanCode, 0, 0,
                            QString::fromUtf8(p.text));
            QWidget* target = dialog->focusWidget() != nullptr ? dialog->focusWidget() : dialog;
            QCoreApplication::sendEvent(target, &press);
        }
        if (c.clickCancel && dialog->isVisible()) {
            for (auto* button : dialog->findChildren<QPushButton*>()) {
                if (button->text() == QStringLiteral("Cancel")) {
                    button->click();
                }
            }
        }
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the key recorder did not close";
            dialog->reject();
        }
    });
    SettingsPage::choose(view.hotkeyPopup(), QStringLiteral("custom"));
    ASSERT_TRUE(dialogSeen);

    // The hotkey components store the chosen option; the page stores only the custom key.
    EXPECT_EQ(page.defaults.stringValue("hotkeyOption"), "leftOption");
    const int custom = view.hotkeyPopup()->findData(QStringLiteral("custom"));
    if (!c.recordedName) {
        EXPECT_EQ(view.hotkeyPopup()->currentText(), QStringLiteral("Left Alt"));
        EXPECT_EQ(view.hotkeyPopup()->itemText(custom), QStringLiteral("Custom Key"));
        EXPECT_EQ(page.defaults.value("customHotkeyCode"), std::nullopt);
        EXPECT_EQ(page.defaults.value("customHotkeyName"), std::nullopt);
        EXPECT_THAT(page.hotkeyPosts, IsEmpty());
        return;
    }
    const auto code = X11KeyTranslator::virtualKeyCode(c.recordedScanCode);
    EXPECT_EQ(page.defaults.integerValue("customHotkeyCode"), code);
    EXPECT_EQ(page.defaults.integerValue("customHotkeyFlags"), 0);
    const std::string name =
        *c.recordedName == "Key {code}" ? "Key " + std::to_string(code) : *c.recordedName;
    EXPECT_EQ(page.defaults.stringValue("customHotkeyName"), name);
    EXPECT_EQ(view.hotkeyPopup()->currentIndex(), custom);
    EXPECT_EQ(view.hotkeyPopup()->itemText(custom).toStdString(), "Custom: " + name);
    EXPECT_THAT(page.hotkeyPosts, ElementsAre("custom"));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, KeyRecorder,
    ::testing::Values(
        RecorderCase{"LetterIsNamedUpperCase", {{Qt::Key_Q, xQ, "q"}}, false, "Q", xQ},
        RecorderCase{"ModifiersAreIgnoredInTheName",
                     {{Qt::Key_Q, xQ, "\x11", Qt::ControlModifier}},
                     false,
                     "Q",
                     xQ},
        RecorderCase{"ModifierKeyAloneIsNotRecorded",
                     {{Qt::Key_Shift, xLeftShift, ""}, {Qt::Key_7, xSeven, "7"}},
                     false,
                     "7",
                     xSeven},
        RecorderCase{
            "KeyWithoutTextIsNamedByCode", {{Qt::Key_F5, xF5, ""}}, false, "Key {code}", xF5},
        RecorderCase{
            "OnlyTheFirstKeyCounts", {{Qt::Key_Q, xQ, "q"}, {Qt::Key_F5, xF5, ""}}, false, "Q", xQ},
        RecorderCase{"EscapeCancels", {{Qt::Key_Escape, xEscape, "\x1b"}}, false, {}},
        RecorderCase{"EscapeByKeyPositionCancels", {{Qt::Key_unknown, xEscape, ""}}, false, {}},
        RecorderCase{"CancelButton", {}, true, {}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace skrib::testing
