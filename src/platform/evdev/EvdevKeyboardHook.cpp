#include "platform/evdev/EvdevKeyboardHook.h"

#include "platform/evdev/UinputKeyboard.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <libudev.h>
#include <string_view>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace skrib {
namespace {

std::string_view text(const char* value) {
    return value ? value : "";
}

// A keyboard as udev classifies it (typing keys, not just a power button), with its event device.
bool isKeyboard(udev_device* device) {
    return text(udev_device_get_devnode(device)).starts_with("/dev/input/event") &&
           text(udev_device_get_property_value(device, "ID_INPUT_KEYBOARD")) == "1";
}

template <typename Visit>
void forEachKeyboard(udev* context, Visit visit) {
    udev_enumerate* enumerate = udev_enumerate_new(context);
    if (!enumerate) {
        return;
    }
    udev_enumerate_add_match_subsystem(enumerate, "input");
    udev_enumerate_add_match_property(enumerate, "ID_INPUT_KEYBOARD", "1");
    udev_enumerate_scan_devices(enumerate);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        udev_device* device =
            udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        if (device && isKeyboard(device)) {
            visit(device);
        }
        udev_device_unref(device);
    }
    udev_enumerate_unref(enumerate);
}

int openDevice(udev_device* device) {
    return ::open(udev_device_get_devnode(device), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

} // namespace

// Calls back on the main thread whenever the descriptor has data. Deleted later, so that it may
// go from inside its own callback.
struct EvdevKeyboardHook::Notifier {
    Notifier(int fileDescriptor, std::function<void()> callback)
        : notifier(new QSocketNotifier(fileDescriptor, QSocketNotifier::Read)) {
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, std::move(callback));
    }
    ~Notifier() {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;
    QSocketNotifier* notifier;
};

struct EvdevKeyboardHook::Keyboard {
    std::string syspath;
    int fileDescriptor = -1;
    libevdev* device = nullptr;
    std::unique_ptr<Notifier> notifier;

    ~Keyboard() {
        notifier.reset(); // before the descriptor closes
        libevdev_free(device);
        if (fileDescriptor >= 0) {
            ::close(fileDescriptor);
        }
    }
};

EvdevProbe EvdevKeyboardHook::probe() {
    int found = 0, opened = 0;
    if (udev* context = udev_new()) {
        forEachKeyboard(context, [&](udev_device* device) {
            ++found;
            if (const int fileDescriptor = openDevice(device); fileDescriptor >= 0) {
                ++opened;
                ::close(fileDescriptor);
            }
        });
        udev_unref(context);
    }
    if (opened > 0) {
        return {EvdevProbe::Access::available, {}, {}};
    }
    if (found == 0) {
        // None at all, or a sandbox that shows none: nothing the user can change here.
        return {EvdevProbe::Access::noKeyboards, "No keyboard devices are visible", {}};
    }
    return {EvdevProbe::Access::noPermission,
            "Keyboard devices are readable by the input group only",
            "Add yourself to the input group (and log in again) to use a lone key on Wayland"};
}

EvdevKeyboardHook::EvdevKeyboardHook()
    : udev_(udev_new()) {
    if (!udev_ || !QCoreApplication::instance()) {
        return;
    }
    // Watching before listing: a keyboard plugged in between is not missed (and opened once).
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ &&
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "input", nullptr) >= 0 &&
        udev_monitor_enable_receiving(monitor_) >= 0) {
        monitorNotifier_ =
            std::make_unique<Notifier>(udev_monitor_get_fd(monitor_), [this] { readMonitor(); });
    }
    forEachKeyboard(udev_, [this](udev_device* device) { open(device, true); });
}

EvdevKeyboardHook::~EvdevKeyboardHook() {
    keyboards_.clear();
    monitorNotifier_.reset();
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
}

bool EvdevKeyboardHook::isTrusted() {
    return !keyboards_.empty();
}

void EvdevKeyboardHook::requestTrust() {}

bool EvdevKeyboardHook::canSee(std::uint16_t keyCode) const {
    return translator_.canSee(keyCode);
}

bool EvdevKeyboardHook::start(std::function<void(const KeyEvent&)> handler) {
    if (!isTrusted()) {
        return false;
    }
    handler_ = std::move(handler);
    return true;
}

void EvdevKeyboardHook::stop() {
    // The keyboards are still read, so that the keys held are known at the next start.
    handler_ = nullptr;
}

void EvdevKeyboardHook::setEscapeGrabbed(bool) {}

void EvdevKeyboardHook::open(udev_device* device, bool takeLocks) {
    const std::string syspath(text(udev_device_get_syspath(device)));
    for (const auto& [id, keyboard] : keyboards_) {
        if (keyboard->syspath == syspath) {
            return;
        }
    }
    auto keyboard = std::make_unique<Keyboard>();
    keyboard->syspath = syspath;
    keyboard->fileDescriptor = openDevice(device);
    if (keyboard->fileDescriptor < 0 ||
        libevdev_new_from_fd(keyboard->fileDescriptor, &keyboard->device) < 0 ||
        !libevdev_has_event_type(keyboard->device, EV_KEY) ||
        text(libevdev_get_name(keyboard->device)) == UinputKeyboard::deviceName) {
        return; // not ours to read, gone already, or the program's own paste keys
    }
    libevdev* events = keyboard->device;
    libevdev_set_clock_id(events, CLOCK_MONOTONIC); // event times that never jump
    // The keys held now, as the device reported them when opened.
    EvdevKeyTranslator::Keys has, holds;
    for (unsigned code = 0; code < has.size(); ++code) {
        has[code] = libevdev_has_event_code(events, EV_KEY, code) != 0;
        holds[code] = has[code] && libevdev_get_event_value(events, EV_KEY, code) != 0;
    }
    // A keyboard plugged in later shows the lock only once the desktop sets its light.
    if (takeLocks && libevdev_has_event_code(events, EV_LED, LED_CAPSL)) {
        translator_.setCapsLock(libevdev_get_event_value(events, EV_LED, LED_CAPSL) != 0);
    }
    const int id = nextId_++;
    translator_.addKeyboard(id, has, holds);
    keyboard->notifier =
        std::make_unique<Notifier>(keyboard->fileDescriptor, [this, id] { read(id); });
    keyboards_.emplace(id, std::move(keyboard));
}

void EvdevKeyboardHook::close(int id) {
    keyboards_.erase(id);
    for (const KeyEvent& event : translator_.removeKeyboard(id)) {
        deliver(event);
    }
}

void EvdevKeyboardHook::read(int id) {
    const auto found = keyboards_.find(id);
    if (found == keyboards_.end()) {
        return;
    }
    libevdev* device = found->second->device;
    input_event event{};
    for (;;) {
        int status = libevdev_next_event(device, LIBEVDEV_READ_FLAG_NORMAL, &event);
        if (status == LIBEVDEV_READ_STATUS_SYNC) {
            // The kernel dropped events: the changes since follow, as events.
            while ((status = libevdev_next_event(device, LIBEVDEV_READ_FLAG_SYNC, &event)) ==
                   LIBEVDEV_READ_STATUS_SYNC) {
                if (auto key = translator_.translate(id, event)) {
                    deliver(*key);
                }
            }
            continue;
        }
        if (status != LIBEVDEV_READ_STATUS_SUCCESS) {
            if (status != -EAGAIN) {
                close(id); // unplugged (-ENODEV)
            }
            return;
        }
        if (auto key = translator_.translate(id, event)) {
            deliver(*key);
        }
    }
}

void EvdevKeyboardHook::readMonitor() {
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        const std::string_view action = text(udev_device_get_action(device));
        if (action == "add" && isKeyboard(device)) {
            open(device, false);
        } else if (action == "remove") {
            const std::string_view syspath = text(udev_device_get_syspath(device));
            for (const auto& [id, keyboard] : keyboards_) {
                if (keyboard->syspath == syspath) {
                    close(id);
                    break;
                }
            }
        }
        udev_device_unref(device);
    }
}

void EvdevKeyboardHook::deliver(const KeyEvent& event) {
    if (handler_) {
        const auto handler = handler_; // the handler may stop the hook
        handler(event);
    }
}

} // namespace skrib
