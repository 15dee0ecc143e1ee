// The portal adapters over real D-Bus calls to a stand-in portal on a private session bus
// (tests/harness/fake-portal), which records what it is asked.
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "input/HotkeyOption.h"
#include "platform/portal/PortalDesktop.h"
#include "platform/portal/PortalShortcutHook.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <nlohmann/json.hpp>

#include <QDBusMessage>
#include <QTest>

namespace skrib {
namespace {

using nlohmann::json;

QDBusMessage fake(const char* method, const QVariantList& arguments = {}) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        PortalClient::service, PortalClient::objectPath, "app.vantu.skrib.FakePortal", method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call);
}

class Portal : public ::testing::Test {
protected:
    void SetUp() override { received(""); }
    // The calls of this name the portal has received in this test, each as [name, args...].
    std::vector<json> received(const std::string& name) {
        for (json& call :
             json::parse(fake("Calls").arguments().value(0).toString().toStdString())) {
            calls_.push_back(std::move(call));
        }
        std::vector<json> found;
        std::ranges::copy_if(calls_, std::back_inserter(found),
                             [&](const json& call) { return call[0] == name; });
        return found;
    }
    std::ptrdiff_t first(const std::string& name) {
        return std::ranges::find_if(calls_, [&](const json& c) { return c[0] == name; }) -
               calls_.begin();
    }
    bool waitFor(const std::function<bool()>& done) { return QTest::qWaitFor(done, 5000); }

    std::vector<json> calls_;
    testing::MemoryDefaults defaults_;
    testing::LogCapture log_;
};

TEST_F(Portal, TheRestoreTokenOfOneSessionStartsTheNext) {
    std::vector<std::string> stored;
    for (const std::size_t keys : {2u, 4u}) {
        PortalDesktop desktop(defaults_, true);
        desktop.postReturn();
        ASSERT_TRUE(waitFor([&] { return received("NotifyKeyboardKeycode").size() == keys; }));
        stored.push_back(defaults_.stringValue("remoteDesktopRestoreToken").value_or(""));
    }
    const auto selects = received("SelectDevices");
    ASSERT_EQ(selects.size(), 2u);
    EXPECT_EQ(selects[0][2]["types"], 1);
    EXPECT_EQ(selects[0][2]["persist_mode"], 2);
    EXPECT_FALSE(selects[0][2].contains("restore_token"));
    EXPECT_FALSE(stored[0].empty());
    EXPECT_EQ(selects[1][2]["restore_token"], stored[0]);
    EXPECT_NE(stored[1], stored[0]); // each token is good for one start
    EXPECT_FALSE(stored[1].empty());
}

TEST_F(Portal, APasteMakesTheTextTheSelectionThenPressesAndReleasesTheChord) {
    PortalDesktop desktop(defaults_, true);
    desktop.setClipboardText("Grüße, 世界");
    EXPECT_TRUE(desktop.postPaste(PasteKeys::ctrlShiftV));
    ASSERT_TRUE(waitFor([&] {
        return received("NotifyKeyboardKeycode").size() == 6 && received("pasted").size() == 1;
    }));
    std::vector<std::pair<int, int>> keys;
    for (const json& call : received("NotifyKeyboardKeycode")) {
        keys.emplace_back(call[3], call[4]);
    }
    EXPECT_EQ(keys, (std::vector<std::pair<int, int>>{{KEY_LEFTCTRL, 1},
                                                      {KEY_LEFTSHIFT, 1},
                                                      {KEY_V, 1},
                                                      {KEY_V, 0},
                                                      {KEY_LEFTSHIFT, 0},
                                                      {KEY_LEFTCTRL, 0}}));
    EXPECT_EQ(received("pasted")[0][1], "Grüße, 世界");
    EXPECT_THAT(received("SetSelection")[0][2]["mime_types"],
                ::testing::Contains("text/plain;charset=utf-8"));
    EXPECT_LT(first("RequestClipboard"), first("Start"));
    EXPECT_LT(first("SetSelection"), first("NotifyKeyboardKeycode"));
}

TEST_F(Portal, ARefusedSessionGivesThePasteUpWithoutKeysAndIsNotAskedAgain) {
    fake("Respond", {1u});
    PortalDesktop desktop(defaults_, true);
    desktop.postPaste(PasteKeys::ctrlV);
    ASSERT_TRUE(waitFor([&] { return !log_.matching("refused").empty(); }));
    EXPECT_FALSE(desktop.isTrusted());
    desktop.postPaste(PasteKeys::ctrlV);
    QTest::qWait(200);
    EXPECT_EQ(received("Start").size(), 1u);
    EXPECT_TRUE(received("NotifyKeyboardKeycode").empty());
}

TEST_F(Portal, TheShortcutsActivationIsAPressAndReleaseOfTheChosenHotkey) {
    PortalShortcutHook hook(defaults_);
    EXPECT_FALSE(hook.canSee(keyCodes::rightControl));
    EXPECT_TRUE(hook.canSee(keyCodes::f5));
    hook.requestTrust();
    ASSERT_TRUE(waitFor([&] { return hook.isTrusted(); }));
    std::vector<KeyEvent> events;
    ASSERT_TRUE(hook.start([&](const KeyEvent& event) { events.push_back(event); }));
    const auto binds = received("BindShortcuts");
    ASSERT_EQ(binds.size(), 1u);
    EXPECT_EQ(binds[0][2], json::parse(R"([["dictate", {"description": "Start or stop dictation",
                                                        "preferred_trigger": "CTRL+ALT+d"}]])"));
    EXPECT_EQ(binds[0][3], "");

    fake("Press", {"dictate", quint64(1000), quint64(1300)});
    ASSERT_TRUE(waitFor([&] { return events.size() == 2; }));
    // Right Ctrl (the default hotkey) goes down, and up 300 ms later.
    EXPECT_EQ(events[0].type, KeyEvent::Type::flagsChanged);
    EXPECT_EQ(events[0].keyCode, keyCodes::rightControl);
    EXPECT_EQ(events[0].flags, keyFlags::control);
    EXPECT_EQ(events[1].keyCode, keyCodes::rightControl);
    EXPECT_EQ(events[1].flags, 0u);
    EXPECT_EQ(*events[1].time - *events[0].time, 300u);
}

TEST_F(Portal, AStoredChordIsTheProposedTrigger) {
    HotkeyOption::saveCustomKey(defaults_, 40, keyFlags::control | keyFlags::shift, "K");
    HotkeyOption(HotkeyOption::Case::custom).save(defaults_);
    EXPECT_EQ(PortalShortcutHook::preferredTrigger(defaults_), "CTRL+SHIFT+k");
    HotkeyOption::saveCustomKey(defaults_, 40, 0, "K"); // K alone would take every K typed
    EXPECT_EQ(PortalShortcutHook::preferredTrigger(defaults_), "CTRL+ALT+d");
}

TEST_F(Portal, TheProbeTakesTheClipboardOnlyWithARemoteDesktopThatSharesIt) {
    const PortalProbe all = probePortal();
    EXPECT_TRUE(all.remoteDesktop && all.clipboard && all.globalShortcuts);
    fake("Offer", {"org.freedesktop.portal.RemoteDesktop", 1u});
    fake("Offer", {"org.freedesktop.portal.GlobalShortcuts", 0u});
    const PortalProbe old = probePortal();
    fake("Offer", {"org.freedesktop.portal.RemoteDesktop", 2u});
    fake("Offer", {"org.freedesktop.portal.GlobalShortcuts", 1u});
    EXPECT_TRUE(old.remoteDesktop);
    EXPECT_FALSE(old.clipboard);
    EXPECT_FALSE(old.globalShortcuts);
}

} // namespace
} // namespace skrib
