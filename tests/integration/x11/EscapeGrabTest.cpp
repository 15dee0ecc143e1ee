// Grabbing Escape against a real X server and window manager: while grabbed, Escape still reaches
// the hook but not the focused window, in every lock state; once released, it reaches both.

#include "EventLoop.h"
#include "HookFixture.h"
#include "TestWindow.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <ostream>

namespace skrib::testing {
namespace {

struct LockCase {
    std::string name;
    bool capsLock;
    bool numLock;

    friend void PrintTo(const LockCase& c, std::ostream* out) { *out << c.name; }
};

class EscapeGrabTest : public HookFixture, public ::testing::WithParamInterface<LockCase> {
protected:
    static bool contains(const std::vector<unsigned>& codes, unsigned code) {
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    }
};

TEST_P(EscapeGrabTest, KeepsEscapeFromTheFocusedWindowOnlyWhileGrabbed) {
    TestWindow client;
    ASSERT_TRUE(waitUntil([&] { return injector.focusWindow() == client.id(); }));
    injector.setLocks(GetParam().capsLock, GetParam().numLock);
    ASSERT_EQ(injector.capsLockOn(), GetParam().capsLock);
    ASSERT_EQ(injector.numLockOn(), GetParam().numLock);
    ASSERT_TRUE(hook.start(recorder()));
    const std::uint64_t flags = GetParam().capsLock ? keyFlags::capsLock : 0;
    const unsigned escape = injector.code("Escape");
    const unsigned letter = injector.code("e");
    const std::vector<KeyEvent> expected{keyDown(53, flags), keyUp(53, flags), keyDown(14, flags),
                                         keyUp(14, flags)};

    hook.setEscapeGrabbed(true);
    run({down("Escape"), up("Escape"), down("e"), up("e")});
    ASSERT_TRUE(waitForMarker());
    EXPECT_EQ(texts(eventsBeforeMarker()), texts(expected));
    auto received = client.keyPresses();
    EXPECT_TRUE(contains(received, letter)) << "the window does not have the focus";
    EXPECT_FALSE(contains(received, escape)) << "Escape reached the window while grabbed";

    hook.setEscapeGrabbed(false);
    seen.clear();
    run({down("Escape"), up("Escape"), down("e"), up("e")});
    ASSERT_TRUE(waitForMarker());
    EXPECT_EQ(texts(eventsBeforeMarker()), texts(expected));
    EXPECT_TRUE(contains(client.keyPresses(), escape)) << "Escape still grabbed";
}

INSTANTIATE_TEST_SUITE_P(Locks, EscapeGrabTest,
                         ::testing::Values(LockCase{"NoLock", false, false},
                                           LockCase{"CapsLock", true, false},
                                           LockCase{"NumLock", false, true},
                                           LockCase{"CapsLockAndNumLock", true, true}),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::testing
