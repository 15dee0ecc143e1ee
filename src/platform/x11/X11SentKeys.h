#pragma once

#include <chrono>
#include <deque>

namespace skrib {

/// The key events this program sends itself (the paste chord, the modifiers it lifts for it,
/// Return), noted by the desktop so that the keyboard hook leaves them out: the hotkey rules
/// must not take a release the paste makes for one of the user's. X does not say which client
/// made an event, and the synthetic keyboard also carries the keys of test tools and
/// accessibility programs, which must keep working. So an event counts as the program's own by
/// what it is and when it comes: the same key going the same way soon after the sending.
/// Main thread only.
class X11SentKeys {
public:
    /// How long a sent event is waited for; one that has not come by then never will.
    static constexpr std::chrono::milliseconds lifetime{1000};

    /// Notes one key event just sent: X key code, press or release.
    void sent(unsigned keyCode, bool pressed);
    /// Whether an event the hook read is one of those sent; that one is then forgotten.
    bool take(unsigned keyCode, bool pressed);

private:
    void forgetOld();

    struct Key {
        unsigned code;
        bool pressed;
        std::chrono::steady_clock::time_point sentAt;
    };
    std::deque<Key> keys_; // oldest first
};

} // namespace skrib
