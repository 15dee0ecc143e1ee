#include "platform/portal/PortalRemoteDesktop.h"

#include "log/DebugLog.h"
#include "platform/AtomicFile.h"

#include <cerrno>
#include <unistd.h>

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>

namespace skrib {
namespace {

const QString remoteDesktopInterface = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString clipboardInterface = QStringLiteral("org.freedesktop.portal.Clipboard");
constexpr unsigned keyboard = 1; // the device type


} // namespace

PortalRemoteDesktop::PortalRemoteDesktop(Defaults& defaults, bool useClipboard,
                                         std::function<void(const std::string&)> fallbackClipboard,
                                         QDBusConnection bus)
    : PortalClient(std::move(bus), remoteDesktopInterface)
    , defaults_(defaults)
    , useClipboard_(useClipboard)
    , fallbackClipboard_(std::move(fallbackClipboard)) {
    if (useClipboard_) {
        connectSignal(clipboardInterface, QStringLiteral("SelectionTransfer"),
                      SLOT(onSelectionTransfer(QDBusMessage)));
    }
}

void PortalRemoteDesktop::pressChord(std::vector<int> keys) {
    enqueue(std::move(keys));
}

void PortalRemoteDesktop::setClipboardText(std::string text) {
    if (!useClipboard_) {
        fallbackClipboard_(text);
        return;
    }
    enqueue(std::move(text));
}

void PortalRemoteDesktop::enqueue(Step step) {
    if (state_ == State::refused) {
        if (const auto* text = std::get_if<std::string>(&step)) {
            fallbackClipboard_(*text);
        }
        return;
    }
    steps_.push_back(std::move(step));
    if (state_ == State::idle) {
        start();
    } else {
        runSteps();
    }
}

// CreateSession, SelectDevices (the keyboard, kept until revoked), RequestClipboard, Start: the
// portal asks the user at Start unless the stored restore token stands for their consent.
void PortalRemoteDesktop::start() {
    state_ = State::starting;
    debugLog("📋 Starting a remote desktop session (keyboard) through the desktop portal");
    createSession([this](unsigned response) {
        if (response != accepted) {
            giveUp(response);
            return;
        }
        QVariantMap options{{QStringLiteral("types"), keyboard},
                            {QStringLiteral("persist_mode"), 2u}};
        const auto token = defaults_.stringValue(restoreTokenKey);
        if (token && !token->empty()) {
            options.insert(QStringLiteral("restore_token"), QString::fromStdString(*token));
        }
        const QVariant session = QVariant::fromValue(QDBusObjectPath(this->session()));
        request(QStringLiteral("SelectDevices"), {session}, options,
                [this, session](unsigned response, const QVariantMap&) {
                    if (response != accepted) {
                        giveUp(response);
                        return;
                    }
                    auto startSession = [this, session](const QDBusMessage&) {
                        request(QStringLiteral("Start"), {session, QString()}, {},
                                [this](unsigned response, const QVariantMap& results) {
                                    started(response, results);
                                });
                    };
                    if (!useClipboard_) {
                        startSession({});
                        return;
                    }
                    call(clipboardInterface, QStringLiteral("RequestClipboard"),
                         {session, QVariantMap()}, startSession);
                });
    });
}

void PortalRemoteDesktop::started(unsigned response, const QVariantMap& results) {
    // A token restores one start only: the new one (if any) takes its place.
    const QString token = results.value(QStringLiteral("restore_token")).toString();
    if (token.isEmpty()) {
        defaults_.remove(restoreTokenKey);
    } else {
        defaults_.set(restoreTokenKey, token.toStdString());
    }
    const QVariant devices = results.value(QStringLiteral("devices"));
    if (response == accepted && devices.isValid() && (devices.toUInt() & keyboard) == 0) {
        response = cancelled; // the user left the keyboard out
    }
    if (response != accepted) {
        giveUp(response);
        return;
    }
    clipboardEnabled_ =
        useClipboard_ && results.value(QStringLiteral("clipboard_enabled")).toBool();
    state_ = State::started;
    debugLog(std::string("📋 Remote desktop session started") +
             (clipboardEnabled_ ? " with the clipboard" : " without the clipboard"));
    runSteps();
}

void PortalRemoteDesktop::giveUp(unsigned response) {
    closeSession();
    std::size_t chords = 0;
    for (const Step& step : steps_) {
        if (const auto* text = std::get_if<std::string>(&step)) {
            fallbackClipboard_(*text);
        } else {
            ++chords;
        }
    }
    steps_.clear();
    const std::string dropped = " (" + std::to_string(chords) + " key chords dropped)";
    if (response == cancelled) {
        state_ = State::refused;
        debugLog("⚠️ Remote desktop refused by the user" + dropped +
                 " — no keys are sent until the program restarts; the text is on the clipboard");
    } else {
        state_ = State::idle; // the next use tries again
        debugLog("⚠️ The remote desktop session did not start" + dropped +
                 "; the text is on the clipboard");
    }
}

void PortalRemoteDesktop::runSteps() {
    while (state_ == State::started && !stepRunning_ && !steps_.empty()) {
        Step step = std::move(steps_.front());
        steps_.pop_front();
        const QVariant session = QVariant::fromValue(QDBusObjectPath(this->session()));
        if (const auto* keys = std::get_if<std::vector<int>>(&step)) {
            for (const int key : *keys) {
                call(remoteDesktopInterface, QStringLiteral("NotifyKeyboardKeycode"),
                     {session, QVariantMap(), key, 1u});
            }
            for (auto key = keys->rbegin(); key != keys->rend(); ++key) {
                call(remoteDesktopInterface, QStringLiteral("NotifyKeyboardKeycode"),
                     {session, QVariantMap(), *key, 0u});
            }
            continue;
        }
        std::string& text = std::get<std::string>(step);
        if (!clipboardEnabled_) {
            fallbackClipboard_(text);
            continue;
        }
        clipboardText_ = std::move(text);
        // The keys that paste wait until the text is the selection.
        stepRunning_ = true;
        const QVariantMap options{{QStringLiteral("mime_types"),
                                   QStringList{textMimeType, QStringLiteral("text/plain")}}};
        call(clipboardInterface, QStringLiteral("SetSelection"), {session, options},
             [this](const QDBusMessage& reply) {
                 if (reply.type() != QDBusMessage::ReplyMessage) {
                     fallbackClipboard_(clipboardText_);
                 }
                 stepRunning_ = false;
                 runSteps();
             });
    }
}

// Someone pastes: the text goes down a pipe the portal hands out.
void PortalRemoteDesktop::onSelectionTransfer(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (session().isEmpty() || arguments.value(0).value<QDBusObjectPath>().path() != session()) {
        return;
    }
    const QVariant session = QVariant::fromValue(QDBusObjectPath(this->session()));
    const unsigned serial = arguments.value(2).toUInt();
    bool written = false;
    if (arguments.value(1).toString().startsWith(QStringLiteral("text/plain"))) {
        QDBusMessage write = QDBusMessage::createMethodCall(service, objectPath, clipboardInterface,
                                                            QStringLiteral("SelectionWrite"));
        write << session << serial;
        // Blocking, so that every copy of the pipe's end is closed (the reader sees the text
        // end) before SelectionWriteDone.
        const QDBusMessage reply = bus().call(write, QDBus::Block, 5000);
        const auto pipe = reply.arguments().value(0).value<QDBusUnixFileDescriptor>();
        written = pipe.isValid() && writeAll(pipe.fileDescriptor(), clipboardText_) == 0;
        if (!written) {
            debugLog("⚠️ Desktop portal: the clipboard text could not be handed over: " +
                     reply.errorMessage().toStdString());
        }
    }
    call(clipboardInterface, QStringLiteral("SelectionWriteDone"), {session, serial, written});
}

void PortalRemoteDesktop::sessionClosed() {
    debugLog("📋 The desktop closed the remote desktop session");
    clipboardEnabled_ = false;
    stepRunning_ = false;
    if (state_ == State::started) {
        state_ = State::idle;
        if (!steps_.empty()) {
            start();
        }
    }
}

} // namespace skrib
