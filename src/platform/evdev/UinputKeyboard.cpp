#include "platform/evdev/UinputKeyboard.h"

#include <cerrno>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>
#include <vector>

namespace skrib {
namespace {

constexpr const char* uinputPath = "/dev/uinput";

} // namespace

UinputProbe UinputKeyboard::probe() {
    if (::access(uinputPath, W_OK) == 0) {
        return {true, {}, {}};
    }
    if (errno == ENOENT) {
        return {false, "There is no /dev/uinput",
                "Load the uinput module (modprobe uinput) to paste on Wayland"};
    }
    return {false, "This user may not write /dev/uinput",
            "Allow the input group to write /dev/uinput (a udev rule: KERNEL==\"uinput\", "
            "GROUP=\"input\", MODE=\"0660\") to paste on Wayland"};
}

UinputKeyboard::UinputKeyboard()
    : device_(libevdev_new()) {
    if (!device_) {
        return;
    }
    libevdev_set_name(device_, deviceName);
    libevdev_set_id_bustype(device_, BUS_VIRTUAL);
    libevdev_enable_event_type(device_, EV_KEY);
    // Every key of a full keyboard, which the desktop then takes for one (udev wants at least
    // Escape to D), and whatever position the layout gives V.
    for (unsigned code = KEY_ESC; code <= KEY_MICMUTE; ++code) {
        libevdev_enable_event_code(device_, EV_KEY, code, nullptr);
    }
    if (libevdev_uinput_create_from_device(device_, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput_) != 0) {
        uinput_ = nullptr;
    }
}

UinputKeyboard::~UinputKeyboard() {
    if (uinput_) {
        libevdev_uinput_destroy(uinput_);
    }
    libevdev_free(device_);
}

bool UinputKeyboard::paste(PasteKeys keys, unsigned vKey) {
    switch (keys) {
    case PasteKeys::ctrlV:
        return type({KEY_LEFTCTRL, vKey});
    case PasteKeys::ctrlShiftV:
        return type({KEY_LEFTCTRL, KEY_LEFTSHIFT, vKey});
    case PasteKeys::shiftInsert:
        return type({KEY_LEFTSHIFT, KEY_INSERT});
    }
    return false;
}

bool UinputKeyboard::pressReturn() {
    return type({KEY_ENTER});
}

// Presses the keys in order and releases them in reverse, each change in a report of its own, as
// a real keyboard sends them.
bool UinputKeyboard::type(std::initializer_list<unsigned> chord) {
    if (!uinput_) {
        return false;
    }
    bool sent = true;
    for (const unsigned code : chord) {
        sent = send(code, 1) && sent;
    }
    const std::vector<unsigned> keys(chord);
    for (auto code = keys.rbegin(); code != keys.rend(); ++code) {
        sent = send(*code, 0) && sent; // a key left down would stay down
    }
    return sent;
}

bool UinputKeyboard::send(unsigned code, int value) {
    return libevdev_uinput_write_event(uinput_, EV_KEY, code, value) == 0 &&
           libevdev_uinput_write_event(uinput_, EV_SYN, SYN_REPORT, 0) == 0;
}

} // namespace skrib
