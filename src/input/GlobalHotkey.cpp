#include "input/GlobalHotkey.h"

#include "log/DebugLog.h"

namespace skrib {

GlobalHotkey::GlobalHotkey(KeyboardHook& hook, Scheduler& mainQueue, Defaults& defaults)
    : hook_(hook)
    , mainQueue_(mainQueue)
    , defaults_(defaults)
    , option_(HotkeyOption::stored(defaults)) {
    option_ = seen(option_);
}

// A key the hook never delivers would leave the user without a hotkey: the default takes its
// place, also in the settings, so that every view names the key that works.
HotkeyOption GlobalHotkey::seen(HotkeyOption option) {
    if (hook_.canSee(option.keyCode(defaults_))) {
        return option;
    }
    const HotkeyOption fallback = HotkeyOption::defaultOption();
    if (!hook_.canSee(fallback.keyCode(defaults_))) {
        return option; // a hook that sees no lone key (a desktop shortcut stands for the key)
    }
    debugLog("⚠️ Hotkey " + option.displayName(defaults_) +
             " cannot be seen on this desktop — using " + fallback.displayName(defaults_) +
             " instead");
    fallback.save(defaults_);
    return fallback;
}

GlobalHotkey::~GlobalHotkey() {
    stop();
}

void GlobalHotkey::start() {
    if (hook_.isTrusted()) {
        std::weak_ptr<GlobalHotkey*> weak = self_;
        if (!hook_.start([weak](const KeyEvent& event) {
                if (auto self = weak.lock()) {
                    (*self)->handleEvent(event);
                }
            })) {
            debugLog("⌨️ Failed to create CGEventTap — check Accessibility permissions");
            return;
        }
        watching_ = true;
        hook_.setEscapeGrabbed(isDictating_);
        debugLog("⌨️ Global hotkey active (" + option_.displayName(defaults_) + ")");
        return;
    }
    debugLog("⌨️ Accessibility not granted — requesting...");
    hook_.requestTrust();
    if (retryTimer_) {
        retryTimer_->cancel();
    }
    std::weak_ptr<GlobalHotkey*> weak = self_;
    retryTimer_ = mainQueue_.scheduleRepeating(permissionPollInterval, [weak] {
        auto self = weak.lock();
        if (!self || !(*self)->hook_.isTrusted()) {
            return;
        }
        if ((*self)->retryTimer_) {
            (*self)->retryTimer_->cancel();
            (*self)->retryTimer_.reset();
        }
        (*self)->start();
    });
}

void GlobalHotkey::stop() {
    if (retryTimer_) {
        retryTimer_->cancel();
        retryTimer_.reset();
    }
    if (watching_) {
        hook_.setEscapeGrabbed(false);
        hook_.stop();
        watching_ = false;
    }
}

void GlobalHotkey::updateOption(HotkeyOption option) {
    option = seen(option);
    option_ = option;
    option.save(defaults_);
    keyIsDown_ = false;
    usedAsModifier_ = false;
    debugLog("⌨️ Hotkey changed to " + option.displayName(defaults_));
}

bool GlobalHotkey::holdMode() const {
    return defaults_.boolValue("hotkeyHoldMode").value_or(false);
}

void GlobalHotkey::setHoldMode(bool enabled) {
    defaults_.set("hotkeyHoldMode", DefaultsValue(enabled));
}

void GlobalHotkey::setIsDictating(bool dictating) {
    isDictating_ = dictating;
    if (watching_) {
        hook_.setEscapeGrabbed(dictating);
    }
}

void GlobalHotkey::schedule(std::function<void()> GlobalHotkey::*callback) {
    std::weak_ptr<GlobalHotkey*> weak = self_;
    mainQueue_.post([weak, callback] {
        auto self = weak.lock();
        if (self && (*self)->*callback) {
            ((*self)->*callback)();
        }
    });
}

void GlobalHotkey::scheduleHoldStart() {
    cancelHoldStart();
    std::weak_ptr<GlobalHotkey*> weak = self_;
    holdStartWork_ = mainQueue_.postAfter(holdThreshold, [weak] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        (*self)->holdStarted_ = true;
        if ((*self)->onHoldStart) {
            (*self)->onHoldStart();
        }
    });
}

void GlobalHotkey::cancelHoldStart() {
    if (holdStartWork_) {
        holdStartWork_->cancel();
        holdStartWork_.reset();
    }
}

void GlobalHotkey::press(const KeyEvent& event, double now) {
    keyIsDown_ = true;
    keyDownTime_ = now;
    keyDownEventTime_ = event.time;
    holdStarted_ = false;
    if (holdMode()) {
        scheduleHoldStart();
    }
}

// How long the hotkey was down. The main thread may handle a press and its release late, or
// both at once after slow work, so the desktop's event times count where both events have one.
double GlobalHotkey::heldFor(const KeyEvent& release, double now) const {
    if (release.time && keyDownEventTime_) {
        // Unsigned: the difference is right across the clock's wrap.
        const std::uint32_t milliseconds = *release.time - *keyDownEventTime_;
        return milliseconds / 1000.0;
    }
    return now - keyDownTime_;
}

// The hotkey went up after `elapsed` seconds (hold mode).
void GlobalHotkey::release(double elapsed) {
    if (holdStarted_) {
        schedule(&GlobalHotkey::onHoldEnd); // a hold that has begun always ends
    } else if (elapsed > holdThreshold) {
        cancelHoldStart(); // a hold whose timer has not run yet: it begins and ends now
        schedule(&GlobalHotkey::onHoldStart);
        schedule(&GlobalHotkey::onHoldEnd);
    } else {
        cancelHoldStart(); // a tap: neither start nor end
    }
}

bool GlobalHotkey::handleEvent(const KeyEvent& event) {
    using Type = KeyEvent::Type;
    const double now = mainQueue_.absoluteTime();

    if (event.type == Type::keyDown && event.keyCode == keyCodes::escape) {
        if (!isDictating_) {
            return false;
        }
        schedule(&GlobalHotkey::onCancel);
        return true;
    }

    const std::uint16_t hotkeyCode = option_.keyCode(defaults_);
    if (option_.value() == HotkeyOption::Case::custom && hotkeyCode != 0) {
        if (event.type == Type::keyDown && event.keyCode == hotkeyCode && !keyIsDown_) {
            press(event, now);
            return false;
        }
        if (event.type == Type::keyUp && event.keyCode == hotkeyCode && keyIsDown_) {
            keyIsDown_ = false;
            if (holdMode()) {
                release(heldFor(event, now));
            } else {
                schedule(&GlobalHotkey::onToggle); // a custom key toggles however long it is held
            }
            return false;
        }
    }

    if (event.type == Type::keyDown) {
        if (keyIsDown_) {
            usedAsModifier_ = true;
        }
        return false;
    }

    if (event.type == Type::flagsChanged && event.keyCode == hotkeyCode) {
        const bool held = (event.flags & option_.flagMask(defaults_)) != 0;
        if (held && !keyIsDown_) {
            usedAsModifier_ = false;
            press(event, now);
        } else if (!held && keyIsDown_) {
            keyIsDown_ = false;
            if (holdMode()) {
                release(heldFor(event, now));
            } else if (!usedAsModifier_ && heldFor(event, now) < maxSoloPressDuration) {
                schedule(&GlobalHotkey::onToggle);
            }
        }
    }
    return false;
}

} // namespace skrib
