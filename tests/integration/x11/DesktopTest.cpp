// The desktop adapter's window side against a real X server and window manager: which
// application is in front, bringing one back, and noticing that one has gone.

#include "EventLoop.h"
#include "KeyInjector.h"
#include "PasteTarget.h"
#include "TestWindow.h"
#include "input/x11/X11Desktop.h"

#include <gtest/gtest.h>
#include <ostream>
#include <sys/wait.h>
#include <unistd.h>

namespace skrib::testing {
namespace {

std::string hostName() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return host;
}

// The id of a process that has ended and been reaped.
long endedProcessId() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return child;
}

class DesktopTest : public ::testing::Test {
protected:
    bool waitUntilActive(unsigned long window) {
        return waitUntil([&] { return injector.activeWindow() == window; });
    }

    KeyInjector injector;
    X11Desktop desktop;
};

TEST_F(DesktopTest, FrontmostApplicationIsTheActiveQtWindow) {
    const std::string title = "Zielfenster – Grüße";
    PasteTarget target(title);
    ASSERT_TRUE(target.waitUntilShown());
    ASSERT_TRUE(waitUntilActive(target.window()));

    const auto application = desktop.frontmostApplication();
    ASSERT_TRUE(application.has_value());
    EXPECT_EQ(application->window, target.window());
    EXPECT_EQ(application->processId, target.processId());
    EXPECT_EQ(application->name, title);
}

TEST_F(DesktopTest, NoFrontmostApplicationOnceTheActiveWindowIsGone) {
    TestWindow window;
    ASSERT_TRUE(waitUntilActive(window.id()));
    window.destroy();
    EXPECT_FALSE(desktop.frontmostApplication().has_value());
}

// --- Name and process id from the window's properties ---------------------------------------

struct PropertiesCase {
    std::string name;
    WindowProperties properties;
    std::string expectedName;
    std::int64_t expectedProcessId;

    friend void PrintTo(const PropertiesCase& c, std::ostream* out) { *out << c.name; }
};

class DesktopPropertiesTest : public DesktopTest,
                              public ::testing::WithParamInterface<PropertiesCase> {};

TEST_P(DesktopPropertiesTest, FrontmostApplicationReadsTheWindow) {
    TestWindow window(GetParam().properties);
    ASSERT_TRUE(waitUntilActive(window.id()));
    const auto application = desktop.frontmostApplication();
    ASSERT_TRUE(application.has_value());
    EXPECT_EQ(application->window, window.id());
    EXPECT_EQ(application->name, GetParam().expectedName);
    EXPECT_EQ(application->processId, GetParam().expectedProcessId);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, DesktopPropertiesTest,
    ::testing::Values(
        PropertiesCase{"NetWmNameComesFirst",
                       {.netWmName = "Grüße ☕ 日本語", .wmClassName = "Klasse", .wmName = "alt"},
                       "Grüße ☕ 日本語",
                       0},
        PropertiesCase{
            "ClassNameWithoutNetWmName", {.wmClassName = "Klasse", .wmName = "Titel"}, "Klasse", 0},
        PropertiesCase{"Latin1ClassName", {.wmClassName = "S\xfc\xdf"}, "Süß", 0},
        PropertiesCase{"Latin1WmNameLast", {.wmName = "Caf\xe9"}, "Café", 0},
        PropertiesCase{"NoName", {}, "", 0},
        PropertiesCase{
            "ProcessIdOfThisComputer", {.processId = 4242, .clientMachine = hostName()}, "", 4242},
        PropertiesCase{"ProcessIdWithoutComputer", {.processId = 4243}, "", 4243},
        PropertiesCase{"ProcessIdOfAnotherComputer",
                       {.processId = 4244, .clientMachine = "elsewhere.example"},
                       "",
                       0}),
    [](const auto& info) { return info.param.name; });

// --- Activation ---------------------------------------------------------------------------

TEST_F(DesktopTest, ActivateBringsAWindowBackToTheFront) {
    TestWindow first({.netWmName = "first"});
    ASSERT_TRUE(waitUntilActive(first.id()));
    TestWindow second({.netWmName = "second"});
    ASSERT_TRUE(waitUntilActive(second.id()));

    desktop.activate({first.id(), 0, "first"});
    EXPECT_TRUE(waitUntilActive(first.id()));
    EXPECT_TRUE(waitUntil([&] { return injector.focusWindow() == first.id(); }));

    desktop.activate({second.id(), 0, "second"});
    EXPECT_TRUE(waitUntilActive(second.id()));
}

// --- Terminated ---------------------------------------------------------------------------

struct TerminatedCase {
    std::string name;
    bool windowDestroyed;
    bool processEnded;
    bool expected;

    friend void PrintTo(const TerminatedCase& c, std::ostream* out) { *out << c.name; }
};

class DesktopTerminatedTest : public DesktopTest,
                              public ::testing::WithParamInterface<TerminatedCase> {};

TEST_P(DesktopTerminatedTest, IsTerminatedWhenWindowOrProcessHasGone) {
    TestWindow window;
    const TargetApplication application{
        window.id(), GetParam().processEnded ? endedProcessId() : ::getpid(), "test"};
    if (GetParam().windowDestroyed) {
        window.destroy();
    }
    EXPECT_EQ(desktop.isTerminated(application), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Applications, DesktopTerminatedTest,
                         ::testing::Values(TerminatedCase{"BothThere", false, false, false},
                                           TerminatedCase{"WindowDestroyed", true, false, true},
                                           TerminatedCase{"ProcessEnded", false, true, true},
                                           TerminatedCase{"BothGone", true, true, true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(DesktopTest, IsTerminatedOnceTheProgramQuits) {
    PasteTarget target("quits");
    ASSERT_TRUE(target.waitUntilShown());
    ASSERT_TRUE(waitUntilActive(target.window()));
    const auto application = desktop.frontmostApplication();
    ASSERT_TRUE(application.has_value());
    EXPECT_FALSE(desktop.isTerminated(*application));
    target.quit();
    EXPECT_TRUE(waitUntil([&] { return desktop.isTerminated(*application); }));
}

TEST(DesktopWithoutDisplayTest, AnswersNothingAndSendsNothing) {
    X11Desktop desktop(":999");
    EXPECT_FALSE(desktop.isTrusted());
    EXPECT_FALSE(desktop.frontmostApplication().has_value());
    EXPECT_FALSE(desktop.postPaste());
    EXPECT_FALSE(desktop.postReturn());
    desktop.activate({0x200001, 0, ""});
    EXPECT_FALSE(desktop.isTerminated({0x200001, ::getpid(), ""}));
}

TEST_F(DesktopTest, IsTrustedWithXTest) {
    EXPECT_TRUE(desktop.isTrusted());
}

} // namespace
} // namespace skrib::testing
