// Runs the X11 adapter tests against a private X server with a window manager, started once for
// the whole run, inside a Qt GUI application connected to it (the adapters read on Qt's event
// loop, and the clipboard is served by Qt).

#include "X11TestKit.h"
#include "XServer.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>

namespace skrib::testing {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QEventLoop loop;
    QElapsedTimer elapsed;
    elapsed.start();
    bool held = condition();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        held = condition();
        if (held || elapsed.elapsed() >= timeout.count()) {
            loop.quit();
        }
    });
    check.start(2);
    if (!held) {
        loop.exec();
    }
    return held;
}

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
            focuses = skrib::testing::waitUntil([&] { return probe.activeWindow() == window; },
                                                std::chrono::milliseconds(500));
        }
    }
    if (!focuses) {
        std::fprintf(stderr, "the window manager gives new windows no focus\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
