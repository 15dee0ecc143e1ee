// The desktop adapter against a real X server and window manager: which application is in
// front, bringing one back, and pasting into a real Qt program through the clipboard this
// program serves, while the hotkey is still held down.

#include "X11TestKit.h"
#include "input/x11/X11Desktop.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace skrib::testing {
namespace {

/// The paste_target program: a Qt window with one text field whose text it writes to a file on
/// every change (and, after Return, followed by "\n[return]").
class PasteTarget {
public:
    explicit PasteTarget(const QString& title) {
        process_.start(QStringLiteral(SKRIB_PASTE_TARGET), {folder_.filePath("text"), title});
    }
    ~PasteTarget() { quit(); }

    /// Waits until the window is shown and has the focus.
    bool waitUntilFocused(TestClient& client) {
        return waitUntil([&] {
            window_ = window_ != 0 ? window_ : process_.readLine().trimmed().toULong();
            return window_ != 0 && client.activeWindow() == window_ &&
                   client.focusWindow() == window_;
        });
    }
    unsigned long window() const { return window_; }
    std::int64_t processId() const { return process_.processId(); }
    std::string text() const {
        QFile file(folder_.filePath("text"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }
    void quit() {
        process_.kill();
        process_.waitForFinished(5000);
    }

private:
    QTemporaryDir folder_;
    QProcess process_;
    unsigned long window_ = 0;
};

class DesktopTest : public ::testing::Test {
protected:
    TestClient client;
    X11Desktop desktop;
};

TEST_F(DesktopTest, FrontmostApplicationIsTheActiveProgramUntilItQuits) {
    PasteTarget target("Zielfenster – Grüße ☕");
    ASSERT_TRUE(target.waitUntilFocused(client));
    const auto application = desktop.frontmostApplication();
    ASSERT_TRUE(application.has_value());
    EXPECT_EQ(application->window, target.window());
    EXPECT_EQ(application->processId, target.processId());
    EXPECT_EQ(application->name, "Zielfenster – Grüße ☕");
    EXPECT_FALSE(desktop.isTerminated(*application));
    target.quit();
    EXPECT_TRUE(waitUntil([&] { return desktop.isTerminated(*application); }));
}

TEST_F(DesktopTest, ActivateBringsAWindowBackToTheFront) {
    const unsigned long first = client.openWindow("first");
    ASSERT_TRUE(waitUntil([&] { return client.activeWindow() == first; }));
    const unsigned long second = client.openWindow("second");
    ASSERT_TRUE(waitUntil([&] { return client.activeWindow() == second; }));

    desktop.activate({first, 0, "first"});
    EXPECT_TRUE(
        waitUntil([&] { return client.activeWindow() == first && client.focusWindow() == first; }));
    desktop.activate({second, 0, "second"});
    EXPECT_TRUE(waitUntil([&] { return client.activeWindow() == second; }));
}

TEST_F(DesktopTest, PasteDeliversExactlyTheNewClipboardTextWhileTheHotkeyIsHeld) {
    PasteTarget target("paste");
    ASSERT_TRUE(target.waitUntilFocused(client));
    // The hotkey (Right Ctrl) and another modifier are still down when the paste comes.
    const std::vector<unsigned> held{client.code("Control_R"), client.code("Super_L")};
    for (const unsigned code : held) {
        client.press(code);
    }
    const std::string text = "Grüße — naïve ☕ 日本語 😀 𝄞 ";
    desktop.setClipboardText(text);
    ASSERT_TRUE(desktop.postPaste());
    EXPECT_TRUE(waitUntil([&] { return target.text() == text; })) << target.text();
    for (const unsigned code : held) {
        EXPECT_FALSE(client.isDown(code)) << "key " << code << " still held";
        client.release(code);
    }

    desktop.setClipboardText("zwei");
    ASSERT_TRUE(desktop.postPaste());
    ASSERT_TRUE(waitUntil([&] { return target.text() == text + "zwei"; })) << target.text();
    ASSERT_TRUE(desktop.postReturn());
    EXPECT_TRUE(waitUntil([&] { return target.text() == text + "zwei\n[return]"; }));
}

} // namespace
} // namespace skrib::testing
