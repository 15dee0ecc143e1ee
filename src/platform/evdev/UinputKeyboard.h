#pragma once

#include "platform/Desktop.h"

#include <linux/input-event-codes.h>
#include <string>

struct libevdev;
struct libevdev_uinput;

namespace skrib {

/// Whether a uinput keyboard can be made, and if not, why and the one step that helps.
struct UinputProbe {
    bool available = false;
    std::string reason;   // empty when available
    std::string nextStep; // empty when available
};

/// A keyboard of the program's own, made through /dev/uinput, that types the paste keys where the
/// desktop offers no way to send keys: the kernel hands its keys to the desktop like those of any
/// keyboard, so they reach the focused window of any session.
///
/// The desktop reads these keys through the user's keyboard layout, as it reads a real keyboard's:
/// a key code is a position, and KEY_V is 'v' only where the layout puts v there (not on Dvorak,
/// where it is 'k'). Programs match Ctrl+V by the character the layout gives; on a non-Latin
/// layout (Russian, Greek) they fall back to the Latin layout's character on the same key, which
/// is v again. A caller that knows where the layout puts v (an X key code of XWayland, less 8)
/// passes that position.
///
/// The keys of another keyboard are not this one's to release: a modifier the user still holds
/// on a real keyboard stays down and joins the chord.
class UinputKeyboard {
public:
    /// The device's name, by which the keyboard hook leaves these keys out.
    static constexpr const char* deviceName = "Vantu Skrib paste keyboard";

    /// Whether /dev/uinput exists and this user may write it.
    static UinputProbe probe();

    /// Makes the keyboard now: the desktop takes a moment to take a new keyboard in, and keys
    /// sent before then are lost, so it is made once, well before the first paste.
    UinputKeyboard();
    ~UinputKeyboard();
    UinputKeyboard(const UinputKeyboard&) = delete;
    UinputKeyboard& operator=(const UinputKeyboard&) = delete;

    /// Whether the keyboard was made.
    bool ready() const { return uinput_ != nullptr; }
    /// Types the chord, with `vKey` as the V key; false when the keys could not be sent.
    bool paste(PasteKeys keys, unsigned vKey = KEY_V);
    /// Types Return; false when the key could not be sent.
    bool pressReturn();

private:
    bool type(std::initializer_list<unsigned> chord);
    bool send(unsigned code, int value);

    libevdev* device_ = nullptr;
    libevdev_uinput* uinput_ = nullptr;
};

} // namespace skrib
