#include "HookFixture.h"

#include "EventLoop.h"
#include "input/x11/X11KeyTranslator.h"

#include <algorithm>
#include <linux/input-event-codes.h>

namespace skrib::testing {
namespace {

// Pause: unused by the window manager and by every case.
constexpr unsigned markerKey = KEY_PAUSE + 8;

bool isMarker(const KeyEvent& event) {
    return event.keyCode == X11KeyTranslator::virtualKeyCode(markerKey);
}

} // namespace

void HookFixture::TearDown() {
    for (const unsigned code : pressed_) {
        injector.release(code);
    }
    injector.setLocks(false, false);
}

std::function<void(const KeyEvent&)> HookFixture::recorder() {
    return [this](const KeyEvent& event) { seen.push_back(event); };
}

unsigned HookFixture::resolve(const Key& key) {
    const unsigned code = key.xCode != 0 ? key.xCode : injector.code(key.keysym);
    EXPECT_NE(code, 0u) << "the layout has no key for " << key.keysym;
    return code;
}

void HookFixture::run(const std::vector<Step>& steps) {
    for (const auto& step : steps) {
        const unsigned code = resolve(step.key);
        if (step.press) {
            pressed_.insert(code);
            injector.press(code);
        } else {
            injector.release(code);
        }
    }
}

bool HookFixture::waitForMarker() {
    injector.press(markerKey);
    injector.release(markerKey);
    return waitUntil([this] {
        return std::any_of(seen.begin(), seen.end(), [](const KeyEvent& event) {
            return isMarker(event) && event.type == KeyEvent::Type::keyUp;
        });
    });
}

std::vector<KeyEvent> HookFixture::eventsBeforeMarker() const {
    std::vector<KeyEvent> events;
    for (const auto& event : seen) {
        if (isMarker(event)) {
            break;
        }
        events.push_back(event);
    }
    return events;
}

} // namespace skrib::testing
