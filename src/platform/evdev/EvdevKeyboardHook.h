#pragma once

#include "input/EvdevKeyTranslator.h"
#include "platform/KeyboardHook.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

struct udev;
struct udev_device;
struct udev_monitor;

namespace skrib {

/// Whether the keyboards' devices can be read, and if not, why and the one step that helps.
struct EvdevProbe {
    enum class Access { available, noKeyboards, noPermission };
    Access access = Access::noKeyboards;
    std::string reason;   // empty when available
    std::string nextStep; // empty when available, or when nothing the user does helps
};

/// The keyboard hook of any session, Wayland included: every keyboard's own key events, read
/// from its device (/dev/input/event*) as the kernel reports them, so a lone modifier and holding
/// a key work as on X. Reading them takes membership of the `input` group. Keyboards plugged in
/// later are opened, those unplugged release what they held. The devices are read on the main
/// thread, and events reach the handler there. The uinput keyboard's own keys are left out.
class EvdevKeyboardHook final : public KeyboardHook {
public:
    /// Looks for keyboards (udev) and whether one of them can be opened.
    static EvdevProbe probe();

    /// Opens every keyboard this user may read, and watches for others. Needs a Qt application
    /// object for its event loop.
    EvdevKeyboardHook();
    ~EvdevKeyboardHook() override;
    EvdevKeyboardHook(const EvdevKeyboardHook&) = delete;
    EvdevKeyboardHook& operator=(const EvdevKeyboardHook&) = delete;

    /// At least one keyboard is open.
    bool isTrusted() override;
    /// Nothing to ask for: the group is the administrator's to give (see `probe()`).
    void requestTrust() override;
    /// Whether an open keyboard has the key (Fn only where the keyboard reports it).
    bool canSee(std::uint16_t keyCode) const override;
    bool start(std::function<void(const KeyEvent&)> handler) override;
    void stop() override;
    /// Does nothing: reading a device never keeps its keys from other applications, and taking
    /// the device for this program alone (EVIOCGRAB) would take every key of that keyboard, not
    /// Escape only. Escape cancels the dictation and still reaches the focused window.
    void setEscapeGrabbed(bool grabbed) override;

private:
    struct Keyboard;

    void open(udev_device* device, bool takeLocks);
    void close(int id);
    void read(int id);
    void readMonitor();
    void deliver(const KeyEvent& event);

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    struct Notifier;
    std::unique_ptr<Notifier> monitorNotifier_;
    std::map<int, std::unique_ptr<Keyboard>> keyboards_;
    int nextId_ = 1;
    EvdevKeyTranslator translator_;
    std::function<void(const KeyEvent&)> handler_;
};

} // namespace skrib
