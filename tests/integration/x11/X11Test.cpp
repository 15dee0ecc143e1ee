// The X11 adapters against a private X server and window manager started once for the run, in a
// Qt application on it (the adapters read on Qt's event loop; Qt serves the clipboard). Keys go
// in through XTEST; a small Qt program and real terminals are the paste targets.

#include "MemoryDefaults.h"
#include "XServer.h"
#include "input/TextInserter.h"
#include "platform/qt/QtScheduler.h"
#include "platform/x11/X11Desktop.h"
#include "platform/x11/X11KeyTranslator.h"
#include "platform/x11/X11KeyboardHook.h"
#include "platform/x11/X11SentKeys.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <map>
#include <sstream>
#include <unistd.h>

// clang-format off
// Qt's headers first: Xlib's macros (Bool, Status) break them.
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on

namespace skrib::testing {
namespace {

/// Another client of the test display: the user's keyboard (XTEST), plain windows that record
/// the keys they receive, and what the server and the window manager hold.
class TestClient {
public:
    ~TestClient() { XCloseDisplay(display_); }

    unsigned code(const std::string& keysymName) {
        const KeySym keysym = XStringToKeysym(keysymName.c_str());
        return keysym == NoSymbol ? 0 : XKeysymToKeycode(display_, keysym);
    }

    /// Presses or releases the key; answers once the server has taken it.
    void key(unsigned code, bool down) {
        XTestFakeKeyEvent(display_, code, down, CurrentTime);
        XSync(display_, False);
    }

    bool isDown(unsigned code) {
        char keys[32] = {};
        XQueryKeymap(display_, keys);
        return ((keys[code / 8] >> (code % 8)) & 1) != 0;
    }

    void setLocks(bool capsLock, bool numLock) {
        const unsigned numLockMask = XkbKeysymToModifiers(display_, XK_Num_Lock);
        XkbLockModifiers(display_, XkbUseCoreKbd, LockMask | numLockMask,
                         (capsLock ? LockMask : 0) | (numLock ? numLockMask : 0));
        XSync(display_, False);
    }

    unsigned long activeWindow() {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0, window = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, DefaultRootWindow(display_),
                               XInternAtom(display_, "_NET_ACTIVE_WINDOW", False), 0, 1, False,
                               XA_WINDOW, &type, &format, &items, &after, &data) == Success &&
            data != nullptr && items == 1) {
            window = *reinterpret_cast<unsigned long*>(data);
        }
        XFree(data);
        return window;
    }

    unsigned long focusWindow() {
        Window focus = None;
        int revert = 0;
        XGetInputFocus(display_, &focus, &revert);
        return focus;
    }

    unsigned long openWindow(const std::string& title) {
        const Window window = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 10, 10,
                                                  240, 120, 0, 0, WhitePixel(display_, 0));
        XSelectInput(display_, window, KeyPressMask);
        XWMHints hints{InputHint, True, 0, 0, 0, 0, 0, 0, 0}; // takes the focus
        XSetWMHints(display_, window, &hints);
        XStoreName(display_, window, title.c_str());
        XMapWindow(display_, window);
        XSync(display_, False);
        return window;
    }

    void closeWindow(unsigned long window) {
        XDestroyWindow(display_, window);
        XSync(display_, False);
    }

    void setProperty(unsigned long window, const char* name, Atom type, int format,
                     const void* data, int items) {
        XChangeProperty(display_, window, XInternAtom(display_, name, False), type, format,
                        PropModeReplace, static_cast<const unsigned char*>(data), items);
    }

    long pressesInWindows(unsigned code) {
        XSync(display_, False); // brings in every event the server sent before it
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == KeyPress) {
                presses_.push_back(event.xkey.keycode);
            }
        }
        return std::count(presses_.begin(), presses_.end(), code);
    }

private:
    Display* display_ = XOpenDisplay(nullptr);
    std::vector<unsigned> presses_;
};

// Pause: unused by the window manager and by every case; Print starts a program in it.
constexpr unsigned markerKey = KEY_PAUSE + 8;
constexpr unsigned printKey = KEY_SYSRQ + 8;

// "down 8 C": an event as text, its flags as letters (Ctrl, Shift, Alt, Meta/Super, Lock).
std::string text(const KeyEvent& event) {
    const decltype(event.flags) masks[] = {keyFlags::control, keyFlags::shift, keyFlags::option,
                                           keyFlags::command, keyFlags::capsLock};
    std::string flags;
    for (int i = 0; i < 5; ++i) {
        flags += (event.flags & masks[i]) != 0 ? std::string(1, "CSAML"[i]) : "";
    }
    const char* types[] = {"down", "up", "flags"};
    return types[static_cast<int>(event.type) - 10] + (" " + std::to_string(event.keyCode)) + " " +
           (flags.empty() ? "-" : flags);
}

/// A hook, a keyboard, and what the hook delivers; keys are released and locks off after a test.
class KeyboardHookTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (unsigned code = 8; code < 256; ++code) {
            if (client.isDown(code)) {
                client.key(code, false);
            }
        }
        client.setLocks(false, false);
    }

    bool start() {
        return hook.start([this](const KeyEvent& e) { seen += text(e) + (e.time ? "; " : "?; "); });
    }

    /// Steps by keysym: "+Control_R" presses, "-Control_R" releases.
    void run(const std::string& steps) {
        std::istringstream words(steps);
        for (std::string step; words >> step;) {
            const unsigned code = client.code(step.substr(1));
            ASSERT_NE(code, 0u) << "the layout has no key for " << step;
            client.key(code, step[0] == '+');
        }
    }

    /// Taps the marker key and waits for its release: what the hook delivered before it is
    /// then every event of the keys pressed before it ("down 8 C; up 8 C").
    std::string eventsBeforeMarker() {
        const std::string code = std::to_string(X11KeyTranslator::virtualKeyCode(markerKey)) + " ";
        client.key(markerKey, true);
        client.key(markerKey, false);
        EXPECT_TRUE(QTest::qWaitFor([&] { return seen.find("up " + code) != std::string::npos; }));
        const std::size_t end = seen.rfind("down " + code);
        const std::string events = seen.substr(0, end == 0 ? 0 : end - 2); // without its "; "
        seen.clear();
        return events;
    }

    TestClient client;
    std::shared_ptr<X11SentKeys> sentKeys = std::make_shared<X11SentKeys>();
    X11KeyboardHook hook{{}, sentKeys};
    std::string seen; // "down 8 C; up 8 C; "
};

struct SequenceCase {
    std::string name, beforeStart, steps, expected;
    friend void PrintTo(const SequenceCase& c, std::ostream* out) { *out << c.name; }
};

class KeyboardHookSequenceTest : public KeyboardHookTest,
                                 public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(KeyboardHookSequenceTest, DeliversTheKeysAsTheProgramsEvents) {
    run(GetParam().beforeStart);
    ASSERT_TRUE(start());
    run(GetParam().steps);
    EXPECT_EQ(eventsBeforeMarker(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyboardHookSequenceTest,
    ::testing::ValuesIn(std::vector<SequenceCase>{
        // clang-format off
        {"RightCtrlTappedThenHeldRepeatsNothingAndReleasesOnce", "", "+Control_R -Control_R +Control_R +Control_R -Control_R -Control_R", "flags 62 C; flags 62 -; flags 62 C; flags 62 -"},
        {"RightCtrlHeldBeforeStart", "+Control_R", "+c -c -Control_R", "down 8 C; up 8 C; flags 62 -"},
        {"ShiftAltSuperTogether", "", "+Shift_L +Alt_L +Super_R +x -x -Shift_L -Alt_L -Super_R", "flags 56 S; flags 58 SA; flags 54 SAM; down 7 SAM; up 7 SAM; flags 56 AM; flags 58 M; flags 54 -"},
        // The layout's virtual AltGr key (X key code 92) has no name in the vocabulary.
        {"LayoutAltGrCountsAsAlt", "", "+ISO_Level3_Shift +q -q -ISO_Level3_Shift", "flags 4188 A; down 12 A; up 12 A; flags 4188 -"},
        {"KeyRepeatsWhileHeldAndStrayReleasesAreDropped", "+k", "-k +z +z -z -z -b", "up 40 -; down 6 -; down 6 -; up 6 -"},
        {"CapsLockOnBeforeStartThenToggled", "+Caps_Lock -Caps_Lock", "+a -a +Caps_Lock +Caps_Lock -Caps_Lock +a -a", "down 0 L; up 0 L; flags 57 -; down 0 -; up 0 -"},
        // clang-format on
    }),
    [](const auto& info) { return info.param.name; });

TEST_F(KeyboardHookTest, EachKeyCodeGetsOneVirtualCodeOfItsOwn) {
    ASSERT_TRUE(start());
    for (unsigned code = 8; code <= 255; ++code) {
        if (code != printKey && code != markerKey) {
            client.key(code, true);
            client.key(code, false);
        }
    }
    // Ordinary keys give a press and a release, modifiers two flag changes, Caps Lock one (the
    // lock goes on). Insert and Help are one key; every other key has its own code.
    std::istringstream events(eventsBeforeMarker());
    std::map<unsigned, int> count;
    std::size_t total = 0;
    for (std::string type, code, flags; events >> type >> code >> flags; ++total) {
        ++count[std::stoul(code)];
    }
    for (const auto& [code, n] : count) {
        EXPECT_EQ(n, code == keyCodes::capsLock ? 1
                     : code == 114              ? 4
                                                : 2)
            << "virtual code " << code;
    }
    EXPECT_EQ(total, 2u * (255 - 8 + 1 - 2) - 1);
}

TEST_F(KeyboardHookTest, EscapeIsKeptFromTheFocusedWindowOnlyWhileGrabbed) {
    const unsigned long window = client.openWindow("focused");
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.focusWindow() == window; }));
    const unsigned escape = client.code("Escape");
    for (const int locks : {0, 1, 2, 3}) {
        const bool capsLock = (locks & 1) != 0, numLock = (locks & 2) != 0;
        SCOPED_TRACE(::testing::Message() << "Caps Lock " << capsLock << ", Num Lock " << numLock);
        client.setLocks(capsLock, numLock);
        hook.stop(); // a new start takes the locks as it finds them
        ASSERT_TRUE(start());
        const std::string expected = capsLock ? "down 53 L; up 53 L" : "down 53 -; up 53 -";
        const long before = client.pressesInWindows(escape);
        for (const bool grabbed : {true, false}) { // the window has Escape only when released
            hook.setEscapeGrabbed(grabbed);
            run("+Escape -Escape");
            EXPECT_EQ(eventsBeforeMarker(), expected) << "grabbed " << grabbed;
            EXPECT_EQ(client.pressesInWindows(escape), before + (grabbed ? 0 : 1)) << grabbed;
        }
    }
}

TEST(ServerGoneTest, AdaptersStopQuietly) {
    auto server = std::make_unique<XServer>(XServer::Options{.windowManager = false});
    ASSERT_TRUE(server->ok()) << server->error();
    X11KeyboardHook hook(server->display());
    X11Desktop desktop(server->display());
    int delivered = 0;
    ASSERT_TRUE(hook.start([&](const KeyEvent&) { ++delivered; }));
    hook.setEscapeGrabbed(true);
    ASSERT_TRUE(desktop.isTrusted());

    server.reset();

    // Only the socket's end tells the hook; it must notice it by itself.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !hook.isTrusted(); }));
    EXPECT_EQ(delivered, 0);
    hook.setEscapeGrabbed(false);
    hook.stop();
    EXPECT_FALSE(hook.start([&](const KeyEvent&) { ++delivered; }));
    EXPECT_FALSE(desktop.postPaste(PasteKeys::ctrlV));
    EXPECT_FALSE(desktop.isTrusted());
    EXPECT_FALSE(desktop.frontmostApplication().has_value());
    desktop.activate({0x200001, 0, ""});
    EXPECT_TRUE(desktop.isTerminated({0x200001, 0, ""}));
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// The paste_target program: a text field whose text goes to a file (see PasteTargetMain.cpp).
struct PasteTarget {
    explicit PasteTarget(const QString& title) {
        process.start(QStringLiteral(SKRIB_PASTE_TARGET), {folder.filePath("text"), title});
    }
    ~PasteTarget() { quit(); }

    /// Waits until the window is shown and has the focus.
    bool waitUntilFocused(TestClient& client) {
        return QTest::qWaitFor([&] {
            window = contents(folder.filePath("text.window")).toULong();
            return window != 0 && client.activeWindow() == window && client.focusWindow() == window;
        });
    }
    std::string text() const { return contents(folder.filePath("text")).toStdString(); }
    void quit() {
        process.kill();
        process.waitForFinished(5000);
    }

    QTemporaryDir folder;
    QProcess process;
    unsigned long window = 0;
};

class DesktopTest : public KeyboardHookTest {
protected:
    X11Desktop desktop{{}, sentKeys};
};

TEST_F(DesktopTest, PasteGoesToTheFrontmostProgramWhileTheHotkeyIsHeldUntilItQuits) {
    PasteTarget target("Zielfenster – Grüße ☕");
    ASSERT_TRUE(target.waitUntilFocused(client));
    const auto application = desktop.frontmostApplication();
    ASSERT_TRUE(application.has_value());
    EXPECT_EQ(application->window, target.window);
    EXPECT_EQ(application->processId, target.process.processId());
    EXPECT_EQ(application->name, "paste_target") << "the program's class, never the window's title";
    EXPECT_FALSE(desktop.isTerminated(*application));

    // The hotkey (Right Ctrl) and another modifier are still down when the paste comes. The
    // paste's own keys do not reach the hook, and X's view of the held keys stays as it was.
    ASSERT_TRUE(start());
    run("+Control_R +Super_L");
    const std::string text = "Grüße — naïve ☕ 日本語 😀 𝄞 ";
    desktop.setClipboardText(text);
    ASSERT_TRUE(desktop.postPaste(PasteKeys::ctrlV));
    EXPECT_TRUE(QTest::qWaitFor([&] { return target.text() == text; })) << target.text();
    for (const char* key : {"Control_R", "Super_L"}) {
        EXPECT_TRUE(client.isDown(client.code(key))) << key << " let go";
    }
    run("-Control_R -Super_L");
    desktop.setClipboardText("zwei");
    ASSERT_TRUE(desktop.postPaste(PasteKeys::ctrlV));
    ASSERT_TRUE(QTest::qWaitFor([&] { return target.text() == text + "zwei"; })) << target.text();
    ASSERT_TRUE(desktop.postReturn());
    EXPECT_TRUE(QTest::qWaitFor([&] { return target.text() == text + "zwei\n[return]"; }));
    EXPECT_EQ(eventsBeforeMarker(), "flags 62 C; flags 55 CM; flags 62 M; flags 55 -");

    target.quit(); // the process has ended; its window goes with its connection
    EXPECT_TRUE(desktop.isTerminated({client.openWindow("alive"), application->processId, ""}));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return desktop.isTerminated({application->window, ::getpid(), ""});
    }));
}

TEST_F(DesktopTest, ActivateBringsBackAWindowOfAnotherComputerNamedByItsLatin1Class) {
    const unsigned long first = client.openWindow("WM_NAME comes last");
    const long pid = 4244;
    client.setProperty(first, "WM_CLASS", XA_STRING, 8, "skrib\0S\xfc\xdf", 11);
    client.setProperty(first, "WM_CLIENT_MACHINE", XA_STRING, 8, "elsewhere.example", 17);
    client.setProperty(first, "_NET_WM_PID", XA_CARDINAL, 32, &pid, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.activeWindow() == first; }));
    const unsigned long second = client.openWindow("second");
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.activeWindow() == second; }));

    desktop.activate({first, 0, "first"});
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return client.activeWindow() == first && client.focusWindow() == first; }));
    const auto application = desktop.frontmostApplication();
    ASSERT_TRUE(application.has_value());
    EXPECT_EQ(application->processId, 0); // its process id means nothing here
    EXPECT_EQ(application->name, "Süß");
    // The window manager may still name the window for a moment after it has gone.
    client.closeWindow(first);
    EXPECT_NE(desktop.frontmostApplication().value_or(TargetApplication{}).window, first);
}

// A terminal whose shell writes one line to a file.
class DesktopTerminalTest : public DesktopTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(DesktopTerminalTest, TakesTheTextWithItsOwnPasteKeys) {
    if (QStandardPaths::findExecutable(GetParam()).isEmpty()) {
        GTEST_SKIP() << GetParam() << " is not installed";
    }
    QTemporaryDir folder;
    QProcess terminal; // ends with the line, or is killed when it goes
    // In the C locale xterm would type the text in Latin-1.
    terminal.setEnvironment(QProcess::systemEnvironment() << "LC_ALL=C.UTF-8");
    terminal.start(GetParam(), {"-e", "sh", "-c", "head -n 1 >\"$0\"", folder.filePath("line")});
    std::optional<TargetApplication> application;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return (application = desktop.frontmostApplication()) &&
               application->processId == terminal.processId();
    }));
    QtScheduler queue;
    queue.start();
    MemoryDefaults defaults;
    TextInserter inserter(desktop, queue, defaults);
    inserter.setAutoEnter(true);
    inserter.insert("Grüße vom Diktat", application); // by the class of its window
    const auto line = [&] { return contents(folder.filePath("line")).toStdString(); };
    EXPECT_TRUE(QTest::qWaitFor([&] { return line() == "Grüße vom Diktat\n"; })) << line();
}

INSTANTIATE_TEST_SUITE_P(Terminals, DesktopTerminalTest, ::testing::Values("xterm", "stterm"),
                         [](const auto& info) { return std::string(info.param); });

} // namespace
} // namespace skrib::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    skrib::testing::XServer server;
    if (!server.ok()) {
        std::fprintf(stderr, "no X server for the tests: %s\n", server.error().c_str());
        return 1;
    }
    // The test harness asks for Qt's offscreen platform; these tests need the real display.
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QGuiApplication app(argc, argv);
    // While it starts, the window manager leaves new windows unfocused.
    bool focuses = false;
    {
        skrib::testing::TestClient probe;
        for (int attempt = 0; attempt < 20 && !focuses; ++attempt) {
            const unsigned long window = probe.openWindow("probe");
            focuses = QTest::qWaitFor([&] { return probe.activeWindow() == window; }, 500);
        }
    }
    if (!focuses) {
        std::fprintf(stderr, "the window manager gives new windows no focus\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
