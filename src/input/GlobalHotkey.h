#pragma once

#include "input/HotkeyOption.h"
#include "platform/Defaults.h"
#include "platform/KeyboardHook.h"
#include "platform/Scheduler.h"

#include <functional>
#include <memory>
#include <optional>

namespace skrib {

/// Turns presses of the chosen hotkey into dictation intents: a solo tap toggles; in hold mode
/// holding starts and releasing ends; Escape while dictating cancels. The hotkey's own events
/// still reach other applications; only Escape during a dictation is kept from them.
class GlobalHotkey {
public:
    static constexpr double maxSoloPressDuration = 0.4;
    static constexpr double holdThreshold = 0.15;
    static constexpr double permissionPollInterval = 2.0;

    GlobalHotkey(KeyboardHook& hook, Scheduler& mainQueue, Defaults& defaults);
    ~GlobalHotkey();
    GlobalHotkey(const GlobalHotkey&) = delete;
    GlobalHotkey& operator=(const GlobalHotkey&) = delete;

    /// Starts watching, or asks for permission and polls every 2 s until it is granted.
    void start();
    void stop();
    /// Switches to `option`, saves it and forgets any press in progress. An option whose key the
    /// hook never delivers (like the saved choice at start) becomes the default one.
    void updateOption(HotkeyOption option);
    HotkeyOption option() const { return option_; }

    /// Hold mode (saved as "hotkeyHoldMode"), read at every press and release.
    bool holdMode() const;
    void setHoldMode(bool enabled);

    /// Set by the controller while a dictation runs; Escape then cancels and is kept from other
    /// applications.
    bool isDictating() const { return isDictating_; }
    void setIsDictating(bool dictating);

    /// Decides what one keyboard event means; true when the event is swallowed.
    bool handleEvent(const KeyEvent& event);

    std::function<void()> onToggle;
    std::function<void()> onCancel;
    std::function<void()> onHoldStart;
    std::function<void()> onHoldEnd;

private:
    HotkeyOption seen(HotkeyOption option);
    void schedule(std::function<void()> GlobalHotkey::*callback);
    void scheduleHoldStart();
    void cancelHoldStart();
    void press(const KeyEvent& event, double now);
    double heldFor(const KeyEvent& release, double now) const;
    void release(double elapsed);

    KeyboardHook& hook_;
    Scheduler& mainQueue_;
    Defaults& defaults_;
    bool watching_ = false;
    double keyDownTime_ = 0;
    std::optional<std::uint32_t> keyDownEventTime_;
    bool holdStarted_ = false;
    bool usedAsModifier_ = false;
    bool keyIsDown_ = false;
    HotkeyOption option_;
    bool isDictating_ = false;
    std::shared_ptr<WorkItem> retryTimer_;
    std::shared_ptr<WorkItem> holdStartWork_;
    std::shared_ptr<GlobalHotkey*> self_ = std::make_shared<GlobalHotkey*>(this);
};

} // namespace skrib
