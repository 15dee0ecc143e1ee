// Runs the capsule's X11 tests inside a QApplication on a private X server with a window
// manager and, with --compositor, a compositor (without: --no-compositor). One X server per
// process, so each variant is its own test run.

#include "DesktopObserver.h"
#include "XServer.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <iostream>

#include <QApplication>

skrib::testing::XServer* gXServer = nullptr;

int main(int argc, char** argv) {
    bool compositor = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--compositor") == 0) {
            compositor = true;
        }
    }
    skrib::testing::XServer::Options options;
    options.windowManager = true;
    options.compositor = compositor;
    skrib::testing::XServer server(options);
    if (!server.ok()) {
        std::cerr << "no X server for the test: " << server.error() << "\n";
        return 1;
    }
    if (!skrib::testing::DesktopObserver(server.display()).waitForWindowManager(10000)) {
        std::cerr << "the window manager does not manage windows\n";
        return 1;
    }
    gXServer = &server;
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    int result = 1;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    return result;
}
