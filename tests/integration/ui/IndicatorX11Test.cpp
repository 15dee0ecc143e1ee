// The capsule on a private X server, with (--compositor) or without a compositor: on every
// desktop, never taking the focus, cutting its own corners when no compositor draws them.

#include "MemoryDefaults.h"
#include "XServer.h"
#include "platform/NotificationCenter.h"
#include "platform/qt/QtScheduler.h"
#include "platform/x11/X11OverlayWindows.h"
#include "ui/indicator/DictationIndicator.h"

#include <algorithm>
#include <string_view>
#include <gtest/gtest.h>
#include <iostream>

#include <QApplication>
#include <QTest>

// Last: Xlib defines macros (None, Bool) that clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace skrib {
namespace {

bool compositor = false;

// The first item of a window's property, as another program on the desktop reads it.
unsigned long property(Display* x, Window window, const char* name, Atom type) {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(x, window, XInternAtom(x, name, False), 0, 1, False, type, &actual, &format,
                       &count, &after, &data);
    const unsigned long value =
        count == 1 ? *reinterpret_cast<const unsigned long*>(data) & 0xFFFFFFFFul : 0;
    XFree(data);
    return value;
}

TEST(IndicatorX11, ShowsOnEveryDesktopAndLeavesTheFocusWhereItWas) {
    Display* x = XOpenDisplay(nullptr);
    ASSERT_NE(x, nullptr);
    const Window root = DefaultRootWindow(x);
    const Window other = XCreateSimpleWindow(x, root, 200, 300, 400, 200, 0, 0, 0x808080);
    XMapWindow(x, other);
    auto active = [&] { return property(x, root, "_NET_ACTIVE_WINDOW", XA_WINDOW); };
    // Activated as a pager would: honoured without a user time, even by a manager starting up.
    XEvent activate{};
    activate.xclient = {
        ClientMessage, 0, False, x, other, XInternAtom(x, "_NET_ACTIVE_WINDOW", False), 32, {}};
    activate.xclient.data.l[0] = 2;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        XSendEvent(x, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &activate);
        XSync(x, False);
        return active() == other;
    }, 10000)) << "the window manager did not activate the other window";
    Window focusBefore = 0, focus = 0;
    int revert = 0;
    XGetInputFocus(x, &focusBefore, &revert);

    QtScheduler scheduler;
    scheduler.start();
    testing::MemoryDefaults defaults;
    NotificationCenter center;
    {
        X11OverlayWindows overlays;
        DictationIndicator capsule(scheduler, defaults, center, &overlays);
        capsule.showIndicator();
        const auto id = static_cast<Window>(capsule.winId());
        XWindowAttributes shown{};
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return XGetWindowAttributes(x, id, &shown) != 0 && shown.map_state == IsViewable;
        }, 10000));
        QTest::qWait(500); // time for the window manager to act on it
        EXPECT_EQ(active(), other);
        XGetInputFocus(x, &focus, &revert);
        EXPECT_EQ(focus, focusBefore);
        EXPECT_EQ(property(x, id, "_NET_WM_DESKTOP", XA_CARDINAL), 0xFFFFFFFFul);
        EXPECT_EQ(capsule.usesWindowMask(), !compositor);
        EXPECT_EQ(capsule.mask().isEmpty(), compositor);
    }
    scheduler.stop();
    XCloseDisplay(x);
}

} // namespace
} // namespace skrib

int main(int argc, char** argv) {
    const std::string_view option = "--compositor";
    skrib::compositor = std::find(argv, argv + argc, option) != argv + argc;
    skrib::testing::XServer server(
        skrib::testing::XServer::Options{.compositor = skrib::compositor});
    if (!server.ok()) {
        std::cerr << "no X server for the test: " << server.error() << "\n";
        return 1;
    }
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
