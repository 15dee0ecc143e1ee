#include "platform/x11/X11Desktop.h"

#include "platform/x11/X11Clipboard.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11SentKeys.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <bitset>
#include <cerrno>
#include <csignal>
#include <linux/input-event-codes.h>
#include <unistd.h>
#include <vector>

namespace skrib {
namespace {

struct Property {
    Atom type = None;
    std::string bytes;                // format 8
    std::vector<unsigned long> longs; // format 32 (Xlib hands these out as longs)
};

// The property's value, when the window exists and has it with this type (or any type).
std::optional<Property> readProperty(X11Connection& connection, Window window, Atom name,
                                     Atom type = AnyPropertyType) {
    Atom actualType = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    // A window's name and class fit in 256 KB.
    const int status = XGetWindowProperty(connection.display(), window, name, 0, 1L << 16, False,
                                          type, &actualType, &format, &items, &after, &data);
    std::unique_ptr<unsigned char, int (*)(void*)> owned(data, &XFree);
    if (status != Success || connection.lost() || actualType == None ||
        (type != AnyPropertyType && actualType != type) || data == nullptr) {
        return std::nullopt;
    }
    Property property;
    property.type = actualType;
    if (format == 8) {
        property.bytes.assign(reinterpret_cast<const char*>(data), items);
    } else if (format == 32) {
        const auto* values = reinterpret_cast<const unsigned long*>(data);
        property.longs.assign(values, values + items);
    }
    return property;
}

// ICCCM's STRING type is Latin-1.
std::string latin1ToUtf8(std::string_view text) {
    std::string utf8;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

// Text of a STRING, UTF8_STRING or COMPOUND_TEXT property, up to its first NUL.
std::string propertyText(Display* display, const Property& property, Atom utf8String) {
    const std::string_view text(property.bytes.c_str());
    if (property.type == XA_STRING) {
        return latin1ToUtf8(text);
    }
    if (property.type == utf8String) {
        return std::string(text);
    }
    XTextProperty textProperty{
        reinterpret_cast<unsigned char*>(const_cast<char*>(property.bytes.data())), property.type,
        8, property.bytes.size()};
    char** list = nullptr;
    int count = 0;
    std::string result;
    if (Xutf8TextPropertyToTextList(display, &textProperty, &list, &count) >= Success &&
        count > 0 && list != nullptr) {
        result = list[0];
    }
    if (list != nullptr) {
        XFreeStringList(list);
    }
    return result;
}

bool isDown(const char (&keys)[32], unsigned code) {
    return ((keys[code / 8] >> (code % 8)) & 1) != 0;
}

KeyCode keyCodeOf(Display* display, KeySym keysym, unsigned evdevFallback) {
    const KeyCode code = XKeysymToKeycode(display, keysym);
    return code != 0 ? code : static_cast<KeyCode>(evdevFallback + 8);
}

// Every key that acts as Shift, Ctrl, Alt, AltGr, Super, Meta or Hyper in the current layout.
// Lock keys are left alone: releasing them changes nothing.
std::bitset<256> modifierKeys(Display* display) {
    std::bitset<256> keys;
    if (XModifierKeymap* map = XGetModifierMapping(display)) {
        for (int i = 0; i < 8 * map->max_keypermod; ++i) {
            keys[map->modifiermap[i]] = map->modifiermap[i] != 0;
        }
        XFreeModifiermap(map);
    }
    for (unsigned code = 8; code < keys.size(); ++code) {
        if (keys[code]) {
            const KeySym keysym = XkbKeycodeToKeysym(display, static_cast<KeyCode>(code), 0, 0);
            keys[code] = keysym != XK_Caps_Lock && keysym != XK_Shift_Lock &&
                         keysym != XK_Num_Lock && keysym != XK_Scroll_Lock;
        }
    }
    for (const KeySym keysym :
         {XK_Shift_L, XK_Shift_R, XK_Control_L, XK_Control_R, XK_Alt_L, XK_Alt_R, XK_Meta_L,
          XK_Meta_R, XK_Super_L, XK_Super_R, XK_Hyper_L, XK_Hyper_R, XK_ISO_Level3_Shift,
          XK_ISO_Level5_Shift, XK_Mode_switch}) {
        if (const KeyCode code = XKeysymToKeycode(display, keysym); code != 0) {
            keys[code] = true;
        }
    }
    return keys;
}

} // namespace

X11Desktop::X11Desktop(const std::string& displayName, std::shared_ptr<X11SentKeys> sentKeys)
    : connection_(X11Connection::open(displayName))
    , sentKeys_(std::move(sentKeys)) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0) {
        hostName_ = host;
    }
    if (!connection_) {
        return;
    }
    Display* display = connection_->display();
    int event = 0, error = 0, major = 0, minor = 0;
    xtestPresent_ = XTestQueryExtension(display, &event, &error, &major, &minor);
    netActiveWindow_ = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    netWmPid_ = XInternAtom(display, "_NET_WM_PID", False);
    utf8String_ = XInternAtom(display, "UTF8_STRING", False);
}

X11Desktop::~X11Desktop() = default;

std::optional<TargetApplication> X11Desktop::frontmostApplication() {
    if (!connection_ || connection_->lost()) {
        return std::nullopt;
    }
    const auto active =
        readProperty(*connection_, connection_->root(), netActiveWindow_, XA_WINDOW);
    if (!active || active->longs.empty() || active->longs.front() == None) {
        return std::nullopt;
    }
    TargetApplication application;
    application.window = active->longs.front();
    // Some window managers leave the property naming a window that has since been destroyed.
    XWindowAttributes attributes;
    if (XGetWindowAttributes(connection_->display(), application.window, &attributes) == 0) {
        return std::nullopt;
    }
    application.processId = windowProcessId(application.window);
    application.name = applicationName(application.window);
    if (connection_->lost()) {
        return std::nullopt;
    }
    return application;
}

std::int64_t X11Desktop::windowProcessId(unsigned long window) {
    const auto pid = readProperty(*connection_, window, netWmPid_, XA_CARDINAL);
    if (!pid || pid->longs.empty()) {
        return 0;
    }
    // A process id means nothing here when the window's program runs on another computer.
    if (const auto machine = readProperty(*connection_, window, XA_WM_CLIENT_MACHINE)) {
        if (propertyText(connection_->display(), *machine, utf8String_) != hostName_) {
            return 0;
        }
    }
    return static_cast<std::int64_t>(pid->longs.front());
}

// The program's name from its window's class ("instance\0class\0"): the title would tell the
// document or message in it, and the name goes to the log.
std::string X11Desktop::applicationName(unsigned long window) {
    const auto wmClass = readProperty(*connection_, window, XA_WM_CLASS, XA_STRING);
    if (!wmClass) {
        return {};
    }
    const std::string& value = wmClass->bytes;
    const auto end = value.find('\0');
    if (end != std::string::npos && value[end + 1] != '\0') {
        return latin1ToUtf8(value.c_str() + end + 1);
    }
    return latin1ToUtf8(value.c_str()); // no class: the instance name
}

bool X11Desktop::isTerminated(const TargetApplication& application) {
    if (application.processId > 0 && ::kill(static_cast<pid_t>(application.processId), 0) != 0 &&
        errno == ESRCH) {
        return true;
    }
    if (application.window == 0 || !connection_) {
        return false;
    }
    // Windows do not outlive their server.
    if (connection_->lost()) {
        return true;
    }
    XWindowAttributes attributes;
    const Status exists =
        XGetWindowAttributes(connection_->display(), application.window, &attributes);
    return exists == 0 || connection_->lost();
}

void X11Desktop::activate(const TargetApplication& application) {
    if (!connection_ || connection_->lost() || application.window == 0) {
        return;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = application.window;
    event.xclient.message_type = netActiveWindow_;
    event.xclient.format = 32;
    // Source 2 (a pager, acting for the user): window managers honour it without a timestamp.
    event.xclient.data.l[0] = 2;
    event.xclient.data.l[1] = CurrentTime;
    event.xclient.data.l[2] = None;
    XSendEvent(connection_->display(), connection_->root(), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(connection_->display());
}

void X11Desktop::setClipboardText(const std::string& text) {
    X11Clipboard::setText(text);
}

void X11Desktop::setPrimarySelectionText(const std::string& text) {
    X11Clipboard::setText(text, true);
}

bool X11Desktop::isTrusted() {
    return canSendKeys();
}

bool X11Desktop::canSendKeys() const {
    return connection_ && !connection_->lost() && xtestPresent_;
}

void X11Desktop::send(unsigned keyCode, bool pressed) {
    XTestFakeKeyEvent(connection_->display(), keyCode, pressed ? True : False, CurrentTime);
    if (sentKeys_) {
        sentKeys_->sent(keyCode, pressed);
    }
}

bool X11Desktop::postPaste(PasteKeys keys) {
    if (!canSendKeys()) {
        return false;
    }
    Display* display = connection_->display();
    X11ErrorTrap trap(*connection_);
    char held[32] = {};
    XQueryKeymap(display, held);
    if (connection_->lost()) {
        return false;
    }
    // A modifier still down (typically the hotkey) would turn the paste into another chord.
    const std::bitset<256> modifiers = modifierKeys(display);
    std::vector<unsigned> lifted;
    for (unsigned code = 8; code < modifiers.size(); ++code) {
        if (modifiers[code] && isDown(held, code)) {
            XTestFakeKeyEvent(display, code, False, CurrentTime);
            lifted.push_back(code);
        }
    }
    // A key that another keyboard holds down may stay down (the release is then no event):
    // only the keys that went up are noted, and pressed again.
    if (!lifted.empty()) {
        XQueryKeymap(display, held);
        std::erase_if(lifted, [&](unsigned code) { return isDown(held, code); });
        for (const unsigned code : lifted) {
            if (sentKeys_) {
                sentKeys_->sent(code, false);
            }
        }
    }
    std::vector<unsigned> chord;
    if (keys != PasteKeys::shiftInsert) {
        chord.push_back(keyCodeOf(display, XK_Control_L, KEY_LEFTCTRL));
    }
    if (keys != PasteKeys::ctrlV) {
        chord.push_back(keyCodeOf(display, XK_Shift_L, KEY_LEFTSHIFT));
    }
    chord.push_back(keys == PasteKeys::shiftInsert ? keyCodeOf(display, XK_Insert, KEY_INSERT)
                                                   : keyCodeOf(display, XK_v, KEY_V));
    for (const unsigned code : chord) {
        send(code, true);
    }
    for (auto code = chord.rbegin(); code != chord.rend(); ++code) {
        send(*code, false);
    }
    // The user still holds them: X's view of the keyboard stays as it was.
    for (const unsigned code : lifted) {
        send(code, true);
    }
    return trap.ok();
}

bool X11Desktop::postReturn() {
    if (!canSendKeys()) {
        return false;
    }
    X11ErrorTrap trap(*connection_);
    const KeyCode returnKey = keyCodeOf(connection_->display(), XK_Return, KEY_ENTER);
    send(returnKey, true);
    send(returnKey, false);
    return trap.ok();
}

} // namespace skrib
