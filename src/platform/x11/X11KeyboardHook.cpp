#include "platform/x11/X11KeyboardHook.h"

#include "platform/x11/X11Connection.h"
#include "platform/x11/X11EventSource.h"
#include "platform/x11/X11SentKeys.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <linux/input-event-codes.h>

namespace skrib {
namespace {

// The key the hook reports as Escape: by position, like every other key, whatever the layout
// puts on it.
constexpr unsigned escapeKey = KEY_ESC + 8;

// The lock states Escape must be grabbed in. AnyModifier would also take Escape from the window
// manager's own bindings (Alt+Escape and the like), and such a grab fails as a whole.
constexpr unsigned grabModifiers[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

} // namespace

X11KeyboardHook::X11KeyboardHook(const std::string& displayName,
                                 std::shared_ptr<X11SentKeys> sentKeys)
    : connection_(X11Connection::open(displayName))
    , sentKeys_(std::move(sentKeys)) {
    if (!connection_) {
        return;
    }
    Display* display = connection_->display();
    // The grab connection must reach the same server even if $DISPLAY changes meanwhile.
    displayName_ = DisplayString(display);
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XQueryExtension(display, "XInputExtension", &inputOpcode_, &event, &error) ||
        !XTestQueryExtension(display, &event, &error, &major, &minor)) {
        return;
    }
    // 2.2 announced: raw events then keep coming while another client grabs the keyboard.
    major = 2;
    minor = 2;
    X11ErrorTrap trap(*connection_);
    const bool answered = XIQueryVersion(display, &major, &minor) == Success;
    extensionsPresent_ = trap.ok() && answered && major >= 2;
}

X11KeyboardHook::~X11KeyboardHook() {
    stop();
    grabEvents_.reset();
    grabConnection_.reset(); // closing the connection ends its grabs
}

bool X11KeyboardHook::isTrusted() {
    return connection_ && !connection_->lost() && extensionsPresent_;
}

void X11KeyboardHook::requestTrust() {}

bool X11KeyboardHook::canSee(std::uint16_t keyCode) const {
    return X11KeyTranslator::delivers(keyCode);
}

bool X11KeyboardHook::start(std::function<void(const KeyEvent&)> handler) {
    if (!isTrusted() || !X11EventSource::available()) {
        return false;
    }
    handler_ = std::move(handler);
    if (events_) {
        return true;
    }
    if (!selectRawKeys(true)) {
        handler_ = nullptr;
        return false;
    }
    takeKeyboardState();
    events_ =
        std::make_unique<X11EventSource>(connection_->fileDescriptor(), [this] { readEvents(); });
    // The round trips above may have queued events that will not wake the socket.
    events_->readSoon();
    return true;
}

void X11KeyboardHook::stop() {
    handler_ = nullptr;
    if (!events_) {
        return;
    }
    events_.reset();
    if (!connection_->lost()) {
        selectRawKeys(false);
    }
}

bool X11KeyboardHook::selectRawKeys(bool selected) {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (selected) {
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
    }
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    X11ErrorTrap trap(*connection_);
    XISelectEvents(connection_->display(), connection_->root(), &mask, 1);
    return trap.ok();
}

void X11KeyboardHook::takeKeyboardState() {
    Display* display = connection_->display();
    // Events read so far happened before the state below is taken, so the state covers them;
    // this also drops what a previous start left behind.
    while (!connection_->lost() && XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
    }
    char keys[32] = {};
    XQueryKeymap(display, keys);
    XkbStateRec state{};
    const bool haveState = XkbGetState(display, XkbUseCoreKbd, &state) == Success;
    if (connection_->lost()) {
        return;
    }
    std::bitset<X11KeyTranslator::keyCodeCount> held;
    for (unsigned code = 0; code < held.size(); ++code) {
        held[code] = (keys[code / 8] >> (code % 8)) & 1;
    }
    translator_.reset(held, haveState && (state.locked_mods & LockMask) != 0);
}

void X11KeyboardHook::readEvents() {
    Display* display = connection_->display();
    while (events_ && !connection_->lost() && XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        XGenericEventCookie& cookie = event.xcookie;
        if (event.type != GenericEvent || cookie.extension != inputOpcode_ ||
            (cookie.evtype != XI_RawKeyPress && cookie.evtype != XI_RawKeyRelease) ||
            !XGetEventData(display, &cookie)) {
            continue;
        }
        const auto* raw = static_cast<const XIRawEvent*>(cookie.data);
        const auto key = static_cast<unsigned>(raw->detail);
        const bool pressed = cookie.evtype == XI_RawKeyPress;
        const auto time = static_cast<std::uint32_t>(raw->time); // the server's, in ms
        XFreeEventData(display, &cookie);
        if (sentKeys_ && sentKeys_->take(key, pressed)) {
            continue; // the program's own paste keys: the keyboard is as the user left it
        }
        if (auto keyEvent = translator_.translate(key, pressed); keyEvent && handler_) {
            keyEvent->time = time;
            const auto handler = handler_; // the handler may stop the hook
            handler(*keyEvent);
        }
    }
    if (connection_->lost()) {
        // The server has gone; nothing more will come.
        handler_ = nullptr;
        events_.reset();
    }
}

void X11KeyboardHook::setEscapeGrabbed(bool grabbed) {
    if (!connection_) {
        return;
    }
    if (!grabConnection_ || grabConnection_->lost()) {
        grabEvents_.reset();
        grabConnection_.reset();
        if (!grabbed || connection_->lost()) {
            return; // a lost connection's grabs have ended with it
        }
        grabConnection_ = X11Connection::open(displayName_);
        if (!grabConnection_) {
            return;
        }
        if (X11EventSource::available()) {
            grabEvents_ = std::make_unique<X11EventSource>(grabConnection_->fileDescriptor(),
                                                           [this] { discardGrabEvents(); });
        }
    }
    Display* display = grabConnection_->display();
    X11ErrorTrap trap(*grabConnection_);
    for (const unsigned modifiers : grabModifiers) {
        if (grabbed) {
            XGrabKey(display, escapeKey, modifiers, grabConnection_->root(), False, GrabModeAsync,
                     GrabModeAsync);
        } else {
            XUngrabKey(display, escapeKey, modifiers, grabConnection_->root());
        }
    }
    // A combination another client holds already stays with it.
    trap.ok();
}

void X11KeyboardHook::discardGrabEvents() {
    // The grabbed Escape presses arrive here too; the hook has them from the raw events.
    Display* display = grabConnection_->display();
    while (!grabConnection_->lost() && XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
    }
    if (grabConnection_->lost()) {
        grabEvents_.reset();
    }
}

} // namespace skrib
