#include "platform/portal/PortalShortcutHook.h"

#include "input/HotkeyOption.h"
#include "log/DebugLog.h"

#include <cctype>
#include <utility>

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>

namespace skrib {
namespace {

const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
using Shortcuts = QList<QPair<QString, QVariantMap>>; // a(sa{sv})

// The xkb names of the function keys, by the program's key codes.
constexpr std::pair<std::uint16_t, const char*> functionKeys[] = {
    {122, "F1"}, {120, "F2"}, {99, "F3"},  {118, "F4"},  {96, "F5"},   {97, "F6"},
    {98, "F7"},  {100, "F8"}, {101, "F9"}, {109, "F10"}, {103, "F11"}, {111, "F12"}};

} // namespace

PortalShortcutHook::PortalShortcutHook(Defaults& defaults, QDBusConnection bus)
    : PortalClient(std::move(bus), shortcutsInterface)
    , defaults_(defaults) {
    qDBusRegisterMetaType<QPair<QString, QVariantMap>>();
    qDBusRegisterMetaType<Shortcuts>();
    connectSignal(shortcutsInterface, QStringLiteral("Activated"), SLOT(onActivated(QDBusMessage)));
    connectSignal(shortcutsInterface, QStringLiteral("Deactivated"),
                  SLOT(onDeactivated(QDBusMessage)));
}

std::string PortalShortcutHook::preferredTrigger(const Defaults& defaults) {
    const HotkeyOption option = HotkeyOption::stored(defaults);
    if (option.value() == HotkeyOption::Case::custom) {
        const std::uint16_t code = option.keyCode(defaults);
        const std::uint64_t flags = option.flagMask(defaults);
        std::string trigger;
        for (const auto& [flag, name] : {std::pair{keyFlags::control, "CTRL+"},
                                         {keyFlags::option, "ALT+"},
                                         {keyFlags::shift, "SHIFT+"},
                                         {keyFlags::command, "LOGO+"}}) {
            trigger += (flags & flag) != 0 ? name : "";
        }
        for (const auto& [functionCode, name] : functionKeys) {
            if (functionCode == code) {
                return trigger + name;
            }
        }
        // A letter or digit alone would be taken from every program's typing.
        const std::string name = option.displayName(defaults);
        if (!trigger.empty() && name.size() == 1 &&
            std::isalnum(static_cast<unsigned char>(name[0]))) {
            return trigger + static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
        }
    }
    return "CTRL+ALT+d";
}

bool PortalShortcutHook::isTrusted() {
    return state_ == State::bound;
}

void PortalShortcutHook::requestTrust() {
    if (state_ != State::unbound) {
        return;
    }
    state_ = State::binding;
    createSession([this](unsigned response) {
        if (response != accepted) {
            bound(response, {});
            return;
        }
        const QVariantMap properties{
            {QStringLiteral("description"), QStringLiteral("Start or stop dictation")},
            {QStringLiteral("preferred_trigger"),
             QString::fromStdString(preferredTrigger(defaults_))}};
        const Shortcuts shortcuts{{QString::fromLatin1(shortcutId), properties}};
        request(QStringLiteral("BindShortcuts"),
                {QVariant::fromValue(QDBusObjectPath(session())), QVariant::fromValue(shortcuts),
                 QString()},
                {}, [this](unsigned response, const QVariantMap& results) {
                    bound(response, results);
                });
    });
}

void PortalShortcutHook::bound(unsigned response, const QVariantMap& results) {
    if (response != accepted) {
        closeSession();
        state_ = State::unbound;
        debugLog(response == cancelled
                     ? "⚠️ The dictation shortcut was not confirmed — no hotkey this run"
                     : "⚠️ The desktop portal could not bind the dictation shortcut");
        return;
    }
    state_ = State::bound;
    std::string trigger = "the desktop names no key";
    for (const auto& [id, properties] :
         qdbus_cast<Shortcuts>(results.value(QStringLiteral("shortcuts")))) {
        if (id == QLatin1String(shortcutId)) {
            trigger =
                properties.value(QStringLiteral("trigger_description")).toString().toStdString();
        }
    }
    debugLog("⌨️ Dictation shortcut bound (" + trigger + ")");
}

bool PortalShortcutHook::canSee(std::uint16_t keyCode) const {
    return whyUnseen(keyCode).empty();
}

std::string PortalShortcutHook::whyUnseen(std::uint16_t keyCode) {
    const bool modifier = keyCode >= keyCodes::rightCommand && keyCode <= keyCodes::function;
    return modifier ? loneKeyReason : "";
}

bool PortalShortcutHook::start(std::function<void(const KeyEvent&)> handler) {
    handler_ = std::move(handler);
    return true;
}

void PortalShortcutHook::stop() {
    handler_ = nullptr;
}

void PortalShortcutHook::setEscapeGrabbed(bool) {}

void PortalShortcutHook::onActivated(const QDBusMessage& message) {
    deliver(message, true);
}

void PortalShortcutHook::onDeactivated(const QDBusMessage& message) {
    deliver(message, false);
}

// The press or release of the hotkey chosen now, as its own key would make it.
void PortalShortcutHook::deliver(const QDBusMessage& message, bool pressed) {
    const QVariantList arguments = message.arguments();
    if (!handler_ || session().isEmpty() ||
        arguments.value(0).value<QDBusObjectPath>().path() != session() ||
        arguments.value(1).toString() != QLatin1String(shortcutId)) {
        return;
    }
    const HotkeyOption option = HotkeyOption::stored(defaults_);
    KeyEvent event;
    event.keyCode = option.keyCode(defaults_);
    event.time = static_cast<std::uint32_t>(arguments.value(2).toULongLong());
    if (option.value() == HotkeyOption::Case::custom) {
        event.type = pressed ? KeyEvent::Type::keyDown : KeyEvent::Type::keyUp;
    } else {
        event.type = KeyEvent::Type::flagsChanged;
        event.flags = pressed ? option.flagMask(defaults_) : 0;
    }
    handler_(event);
}

void PortalShortcutHook::sessionClosed() {
    debugLog("⌨️ The desktop closed the shortcut session — binding the shortcut again");
    state_ = State::unbound;
    requestTrust();
}

} // namespace skrib
