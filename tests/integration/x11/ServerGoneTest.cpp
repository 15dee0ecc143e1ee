// The adapters when the X server goes away under them: no crash, no more events, and every
// operation answers as without a display.

#include "EventLoop.h"
#include "XServer.h"
#include "input/x11/X11Desktop.h"
#include "input/x11/X11KeyboardHook.h"

#include <gtest/gtest.h>
#include <memory>

namespace skrib::testing {
namespace {

TEST(ServerGoneTest, AdaptersStopQuietly) {
    XServer::Options options;
    options.windowManager = false;
    auto server = std::make_unique<XServer>(options);
    ASSERT_TRUE(server->ok()) << server->error();
    const std::string display = server->display();
    X11KeyboardHook hook(display);
    X11Desktop desktop(display);
    int delivered = 0;
    ASSERT_TRUE(hook.start([&](const KeyEvent&) { ++delivered; }));
    hook.setEscapeGrabbed(true);
    ASSERT_TRUE(desktop.isTrusted());

    server.reset();

    // Only the socket's end tells the hook; it must notice it by itself.
    EXPECT_TRUE(waitUntil([&] { return !hook.isTrusted(); }));
    EXPECT_EQ(delivered, 0);
    hook.setEscapeGrabbed(false);
    hook.setEscapeGrabbed(true);
    hook.stop();
    EXPECT_FALSE(hook.start([&](const KeyEvent&) { ++delivered; }));

    EXPECT_FALSE(desktop.postPaste());
    EXPECT_FALSE(desktop.isTrusted());
    EXPECT_FALSE(desktop.postReturn());
    EXPECT_FALSE(desktop.frontmostApplication().has_value());
    desktop.activate({0x200001, 0, ""});
    EXPECT_TRUE(desktop.isTerminated({0x200001, 0, ""}));
}

} // namespace
} // namespace skrib::testing
