#include "platform/x11/X11SentKeys.h"

#include <algorithm>

namespace skrib {

void X11SentKeys::sent(unsigned keyCode, bool pressed) {
    forgetOld();
    keys_.push_back({keyCode, pressed, std::chrono::steady_clock::now()});
}

bool X11SentKeys::take(unsigned keyCode, bool pressed) {
    forgetOld();
    const auto key = std::ranges::find_if(
        keys_, [&](const Key& k) { return k.code == keyCode && k.pressed == pressed; });
    if (key == keys_.end()) {
        return false;
    }
    keys_.erase(key);
    return true;
}

// An event the hook never saw (it was not watching) must not swallow a later one of the user's.
void X11SentKeys::forgetOld() {
    const auto oldest = std::chrono::steady_clock::now() - lifetime;
    while (!keys_.empty() && keys_.front().sentAt < oldest) {
        keys_.pop_front();
    }
}

} // namespace skrib
