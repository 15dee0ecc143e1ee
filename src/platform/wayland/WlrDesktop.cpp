#include "platform/wayland/WlrDesktop.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace skrib {

/// The connection to the compositor and what it tells. The thread reads and handles every
/// event; the main thread sends requests, and holds `mutex` while it makes an object whose
/// events the thread handles or uses one the thread may destroy.
struct WlrDesktop::Connection {
    struct Toplevel {
        Connection* connection = nullptr;
        std::uint64_t id = 0;
        zwlr_foreign_toplevel_handle_v1* handle = nullptr;
        std::string appId;
        bool activated = false;
    };

    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* dataControl = nullptr;
    zwlr_data_control_device_v1* dataDevice = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    zwlr_foreign_toplevel_manager_v1* toplevelManager = nullptr;
    WaylandProtocols used;

    // The virtual keyboard's layout and the state of its keys (main thread).
    xkb_context* xkbContext = nullptr;
    xkb_keymap* keymap = nullptr;
    xkb_state* keys = nullptr;

    std::mutex mutex;
    std::condition_variable synced;
    std::uint64_t syncsSent = 0;
    std::uint64_t syncsDone = 0;
    bool lost = false;
    std::map<std::uint64_t, std::unique_ptr<Toplevel>> toplevels; // the open windows
    std::uint64_t nextToplevelId = 1;
    std::map<zwlr_data_control_source_v1*, std::string> sources; // what each offers

    int wake = -1;
    bool stopping = false;
    std::thread thread;

    bool connect(const std::string& displayName);
    bool makeKeyboard();
    void run();
    void kick() const;
    /// Waits until the compositor has handled every request sent before; false when it is gone.
    bool sync();
    void sendKey(unsigned evdevCode, bool pressed);
    bool sendKeys(std::initializer_list<unsigned> chord);
    void disconnect();
};

namespace {

using Connection = WlrDesktop::Connection;

constexpr const char* textTypes[] = {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING",
                                     "STRING", "TEXT"};

// Writes the text into the reader's pipe; gives up on a reader that takes no more for a second.
void writeAll(int fd, const std::string& text) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        pollfd writable{fd, POLLOUT, 0};
        if (n < 0 && errno != EINTR && (errno != EAGAIN || ::poll(&writable, 1, 1000) <= 0)) {
            return;
        }
    }
}

const zwlr_data_control_source_v1_listener sourceListener{
    [](void* data, zwlr_data_control_source_v1* source, const char*, std::int32_t fd) {
        auto& sources = static_cast<Connection*>(data)->sources;
        if (const auto it = sources.find(source); it != sources.end()) {
            writeAll(fd, it->second);
        }
        ::close(fd);
    },
    [](void* data, zwlr_data_control_source_v1* source) { // another program took the selection
        static_cast<Connection*>(data)->sources.erase(source);
        zwlr_data_control_source_v1_destroy(source);
    }};

// Offers of what others put on the clipboard: never read, let go at once.
void dropOffer(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
    if (offer != nullptr) {
        zwlr_data_control_offer_v1_destroy(offer);
    }
}

const zwlr_data_control_device_v1_listener deviceListener{
    [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {}, dropOffer,
    [](void* data, zwlr_data_control_device_v1* device) { // the seat went away
        static_cast<Connection*>(data)->dataDevice = nullptr;
        zwlr_data_control_device_v1_destroy(device);
    },
    dropOffer};

const zwlr_foreign_toplevel_handle_v1_listener toplevelListener{
    [](void*, zwlr_foreign_toplevel_handle_v1*, const char*) {},
    [](void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
        static_cast<Connection::Toplevel*>(data)->appId = appId;
    },
    [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
        const auto* begin = static_cast<const std::uint32_t*>(states->data);
        static_cast<Connection::Toplevel*>(data)->activated =
            std::find(begin, begin + states->size / sizeof(std::uint32_t),
                      ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) !=
            begin + states->size / sizeof(std::uint32_t);
    },
    [](void*, zwlr_foreign_toplevel_handle_v1*) {},
    [](void* data, zwlr_foreign_toplevel_handle_v1* handle) { // the window closed
        auto* toplevel = static_cast<Connection::Toplevel*>(data);
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
        toplevel->connection->toplevels.erase(toplevel->id);
    },
    [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}};

const zwlr_foreign_toplevel_manager_v1_listener toplevelManagerListener{
    [](void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* connection = static_cast<Connection*>(data);
        auto toplevel = std::make_unique<Connection::Toplevel>();
        toplevel->connection = connection;
        toplevel->id = connection->nextToplevelId++;
        toplevel->handle = handle;
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &toplevelListener, toplevel.get());
        connection->toplevels.emplace(toplevel->id, std::move(toplevel));
    },
    [](void*, zwlr_foreign_toplevel_manager_v1*) {}};

const wl_callback_listener syncListener{[](void* data, wl_callback* callback, std::uint32_t) {
    auto* connection = static_cast<Connection*>(data);
    ++connection->syncsDone;
    wl_callback_destroy(callback);
    connection->synced.notify_all();
}};

const wl_registry_listener registryListener{
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
       std::uint32_t version) {
        auto& c = *static_cast<Connection*>(data);
        const auto bind = [&](const wl_interface& wanted, std::uint32_t highest, auto*& proxy) {
            if (std::strcmp(interface, wanted.name) == 0 && proxy == nullptr) {
                proxy = static_cast<std::remove_reference_t<decltype(proxy)>>(
                    wl_registry_bind(registry, name, &wanted, std::min(version, highest)));
            }
        };
        bind(wl_seat_interface, 1, c.seat); // the first seat: a desktop has one
        bind(zwlr_data_control_manager_v1_interface, 2, c.dataControl);
        bind(zwp_virtual_keyboard_manager_v1_interface, 1, c.keyboardManager);
        bind(zwlr_foreign_toplevel_manager_v1_interface, 3, c.toplevelManager);
    },
    [](void*, wl_registry*, std::uint32_t) {}};

template <typename Proxy>
void destroy(Proxy* proxy, void (*destroyer)(Proxy*)) {
    if (proxy != nullptr) {
        destroyer(proxy);
    }
}

std::uint32_t milliseconds() {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

} // namespace

bool Connection::connect(const std::string& displayName) {
    display = wl_display_connect(displayName.empty() ? nullptr : displayName.c_str());
    if (display == nullptr) {
        return false;
    }
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, this);
    if (wl_display_roundtrip(display) < 0) {
        return false;
    }
    if (seat != nullptr && dataControl != nullptr) {
        dataDevice = zwlr_data_control_manager_v1_get_data_device(dataControl, seat);
        zwlr_data_control_device_v1_add_listener(dataDevice, &deviceListener, this);
        used.dataControl = true;
        used.primarySelection = zwlr_data_control_manager_v1_get_version(dataControl) >=
                                ZWLR_DATA_CONTROL_DEVICE_V1_SET_PRIMARY_SELECTION_SINCE_VERSION;
    }
    if (toplevelManager != nullptr) {
        zwlr_foreign_toplevel_manager_v1_add_listener(toplevelManager, &toplevelManagerListener,
                                                      this);
        used.foreignToplevel = true;
    }
    used.virtualKeyboard = seat != nullptr && keyboardManager != nullptr && makeKeyboard();
    // The open windows and the keyboard's acceptance (a refusal ends the connection).
    if (wl_display_roundtrip(display) < 0) {
        return false;
    }
    wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread = std::thread(&Connection::run, this);
    return true;
}

// A US layout: the chords are sent as key codes, and only the program they go to reads them.
bool Connection::makeKeyboard() {
    xkbContext = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    keymap = xkbContext ? xkb_keymap_new_from_names(xkbContext, &names, XKB_KEYMAP_COMPILE_NO_FLAGS)
                        : nullptr;
    char* text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
    if (text == nullptr) {
        return false;
    }
    const std::size_t size = std::strlen(text) + 1;
    const int fd = ::memfd_create("skrib-keymap", MFD_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, text, size) == static_cast<ssize_t>(size);
    std::free(text);
    if (written) {
        keys = xkb_state_new(keymap);
        keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboardManager, seat);
        zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                       static_cast<std::uint32_t>(size));
    }
    if (fd >= 0) {
        ::close(fd); // the request carries a copy
    }
    return written;
}

void Connection::run() {
    // A reader that closes its pipe early must not end the program.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {wake, POLLIN, 0}};
    bool ok = true;
    while (ok) {
        {
            std::unique_lock lock(mutex);
            while (ok && wl_display_prepare_read(display) != 0) {
                ok = wl_display_dispatch_pending(display) >= 0;
            }
            if (!ok) { // the compositor ended the connection
                lost = true;
                synced.notify_all();
                break;
            }
        }
        // A full socket takes the rest of the requests once it can.
        const bool unsent = wl_display_flush(display) < 0 && errno == EAGAIN;
        fds[0].events = static_cast<short>(POLLIN | (unsent ? POLLOUT : 0));
        fds[0].revents = fds[1].revents = 0;
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            ok = false;
        }
        if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            ok = wl_display_read_events(display) == 0 && ok;
        } else {
            wl_display_cancel_read(display);
        }
        eventfd_t ignored = 0;
        ::eventfd_read(wake, &ignored);
        std::lock_guard lock(mutex);
        ok = ok && wl_display_dispatch_pending(display) >= 0 && !stopping;
        if (!stopping && !ok) {
            lost = true;
            synced.notify_all();
        }
    }
}

void Connection::kick() const {
    ::eventfd_write(wake, 1);
}

bool Connection::sync() {
    std::unique_lock lock(mutex);
    if (lost) {
        return false;
    }
    wl_callback_add_listener(wl_display_sync(display), &syncListener, this);
    const std::uint64_t sent = ++syncsSent;
    kick();
    return synced.wait_for(lock, std::chrono::seconds(2), [&] {
        return syncsDone >= sent || lost;
    }) && !lost;
}

void Connection::sendKey(unsigned evdevCode, bool pressed) {
    const auto mods = [this] {
        return std::array{xkb_state_serialize_mods(keys, XKB_STATE_MODS_DEPRESSED),
                          xkb_state_serialize_mods(keys, XKB_STATE_MODS_LATCHED),
                          xkb_state_serialize_mods(keys, XKB_STATE_MODS_LOCKED),
                          xkb_state_serialize_layout(keys, XKB_STATE_LAYOUT_EFFECTIVE)};
    };
    const auto before = mods();
    xkb_state_update_key(keys, evdevCode + 8, pressed ? XKB_KEY_DOWN : XKB_KEY_UP);
    zwp_virtual_keyboard_v1_key(keyboard, milliseconds(), evdevCode,
                                pressed ? WL_KEYBOARD_KEY_STATE_PRESSED
                                        : WL_KEYBOARD_KEY_STATE_RELEASED);
    // The compositor passes on the modifiers a virtual keyboard tells, not what its keys mean.
    if (const auto after = mods(); after != before) {
        zwp_virtual_keyboard_v1_modifiers(keyboard, after[0], after[1], after[2], after[3]);
    }
}

// Presses the keys in order and releases them in reverse.
bool Connection::sendKeys(std::initializer_list<unsigned> chord) {
    if (keyboard == nullptr) {
        return false;
    }
    for (const unsigned code : chord) {
        sendKey(code, true);
    }
    for (auto it = std::rbegin(chord); it != std::rend(chord); ++it) {
        sendKey(*it, false);
    }
    return sync();
}

void Connection::disconnect() {
    if (thread.joinable()) {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        kick();
        thread.join();
    }
    if (display != nullptr) {
        for (const auto& [source, text] : sources) {
            zwlr_data_control_source_v1_destroy(source);
        }
        for (const auto& [id, toplevel] : toplevels) {
            zwlr_foreign_toplevel_handle_v1_destroy(toplevel->handle);
        }
        destroy(keyboard, zwp_virtual_keyboard_v1_destroy);
        destroy(dataDevice, zwlr_data_control_device_v1_destroy);
        destroy(toplevelManager, zwlr_foreign_toplevel_manager_v1_destroy);
        destroy(keyboardManager, zwp_virtual_keyboard_manager_v1_destroy);
        destroy(dataControl, zwlr_data_control_manager_v1_destroy);
        destroy(seat, wl_seat_destroy);
        destroy(registry, wl_registry_destroy);
        wl_display_flush(display);
        wl_display_disconnect(display);
    }
    if (wake >= 0) {
        ::close(wake);
    }
    xkb_state_unref(keys);
    xkb_keymap_unref(keymap);
    xkb_context_unref(xkbContext);
}

WlrDesktop::WlrDesktop(const std::string& displayName, SetSelection fallbackClipboard)
    : connection_(std::make_unique<Connection>())
    , fallbackClipboard_(std::move(fallbackClipboard)) {
    if (!connection_->connect(displayName)) {
        connection_->disconnect();
        connection_.reset();
    }
}

WlrDesktop::~WlrDesktop() {
    if (connection_) {
        connection_->disconnect();
    }
}

WaylandProtocols WlrDesktop::protocols() const {
    return connection_ ? connection_->used : WaylandProtocols{};
}

std::optional<TargetApplication> WlrDesktop::frontmostApplication() {
    if (!connection_ || !connection_->sync()) {
        return std::nullopt;
    }
    if (!connection_->used.foreignToplevel) {
        return TargetApplication{}; // some window has the focus; which, the compositor keeps
    }
    std::lock_guard lock(connection_->mutex);
    for (const auto& [id, toplevel] : connection_->toplevels) {
        if (toplevel->activated) {
            return TargetApplication{id, 0, toplevel->appId};
        }
    }
    return std::nullopt;
}

bool WlrDesktop::isTerminated(const TargetApplication& application) {
    if (application.window == 0 || !connection_) {
        return false;
    }
    // Windows do not outlive their compositor.
    if (!connection_->sync()) {
        return true;
    }
    std::lock_guard lock(connection_->mutex);
    return !connection_->toplevels.contains(application.window);
}

void WlrDesktop::activate(const TargetApplication& application) {
    if (!connection_ || application.window == 0) {
        return;
    }
    std::lock_guard lock(connection_->mutex);
    if (const auto it = connection_->toplevels.find(application.window);
        it != connection_->toplevels.end()) {
        zwlr_foreign_toplevel_handle_v1_activate(it->second->handle, connection_->seat);
        connection_->kick();
    }
}

void WlrDesktop::setClipboardText(const std::string& text) {
    setSelection(text, false);
}

void WlrDesktop::setPrimarySelectionText(const std::string& text) {
    setSelection(text, true);
}

void WlrDesktop::setSelection(const std::string& text, bool primary) {
    if (!connection_ ||
        !(primary ? connection_->used.primarySelection : connection_->used.dataControl)) {
        if (fallbackClipboard_) {
            fallbackClipboard_(text, primary);
        }
        return;
    }
    Connection& c = *connection_;
    {
        std::lock_guard lock(c.mutex);
        if (c.dataDevice == nullptr) {
            return;
        }
        auto* source = zwlr_data_control_manager_v1_create_data_source(c.dataControl);
        zwlr_data_control_source_v1_add_listener(source, &sourceListener, &c);
        for (const char* type : textTypes) {
            zwlr_data_control_source_v1_offer(source, type);
        }
        c.sources.emplace(source, text);
        primary ? zwlr_data_control_device_v1_set_primary_selection(c.dataDevice, source)
                : zwlr_data_control_device_v1_set_selection(c.dataDevice, source);
    }
    c.sync(); // the selection is ours before the paste asks for it
}

bool WlrDesktop::isTrusted() {
    if (!connection_ || !connection_->used.virtualKeyboard) {
        return false;
    }
    std::lock_guard lock(connection_->mutex);
    return !connection_->lost;
}

bool WlrDesktop::postPaste(PasteKeys keys) {
    if (!connection_) {
        return false;
    }
    switch (keys) {
    case PasteKeys::ctrlV:
        return connection_->sendKeys({KEY_LEFTCTRL, KEY_V});
    case PasteKeys::ctrlShiftV:
        return connection_->sendKeys({KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_V});
    case PasteKeys::shiftInsert:
        return connection_->sendKeys({KEY_LEFTSHIFT, KEY_INSERT});
    }
    return false;
}

bool WlrDesktop::postReturn() {
    return connection_ && connection_->sendKeys({KEY_ENTER});
}

} // namespace skrib
