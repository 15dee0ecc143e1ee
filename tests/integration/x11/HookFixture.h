#pragma once

#include "KeyEventText.h"
#include "KeyInjector.h"
#include "input/x11/X11KeyboardHook.h"

#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace skrib::testing {

/// A key as a test names it: by keysym in the server's layout, or by X key code for keys the
/// layout gives no keysym of their own.
struct Key {
    std::string keysym;
    unsigned xCode = 0;
};

inline Key evdevKey(unsigned evdevCode) {
    return {"", evdevCode + 8};
}

struct Step {
    Key key;
    bool press = true;
};

inline Step down(const std::string& keysym) {
    return {{keysym}, true};
}
inline Step up(const std::string& keysym) {
    return {{keysym}, false};
}

/// A hook on the test display, a key injector, and the events the hook delivers. Keys a test
/// pressed are released, and the locks switched off, after each test.
class HookFixture : public ::testing::Test {
protected:
    void TearDown() override;

    std::function<void(const KeyEvent&)> recorder();
    unsigned resolve(const Key& key);
    void run(const std::vector<Step>& steps);
    /// Presses and releases a marker key and waits until the hook delivers its release; every
    /// event of the keys before it has then arrived.
    bool waitForMarker();
    /// What the hook delivered before the marker.
    std::vector<KeyEvent> eventsBeforeMarker() const;

    KeyInjector injector;
    X11KeyboardHook hook;
    std::vector<KeyEvent> seen;

private:
    std::set<unsigned> pressed_;
};

} // namespace skrib::testing
