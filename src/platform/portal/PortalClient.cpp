#include "platform/portal/PortalClient.h"

#include "log/DebugLog.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

namespace skrib {
namespace {

const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");

QDBusMessage portalCall(const QString& interface, const QString& method) {
    return QDBusMessage::createMethodCall(PortalClient::service, PortalClient::objectPath,
                                          interface, method);
}

} // namespace

PortalProbe probePortal(const QDBusConnection& bus) {
    std::map<QString, unsigned> versions;
    for (const QString& name : {QStringLiteral("RemoteDesktop"), QStringLiteral("Clipboard"),
                                QStringLiteral("GlobalShortcuts")}) {
        QDBusMessage get =
            portalCall(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << QStringLiteral("org.freedesktop.portal.") + name << QStringLiteral("version");
        const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
        if (reply.type() == QDBusMessage::ReplyMessage) {
            versions[name] = reply.arguments().value(0).value<QDBusVariant>().variant().toUInt();
            continue;
        }
        // No portal at all, or one that does not answer: the other interfaces fare no better.
        const auto error = QDBusError(reply).type();
        if (error == QDBusError::ServiceUnknown || error == QDBusError::NoReply ||
            error == QDBusError::Timeout || error == QDBusError::Disconnected) {
            break;
        }
    }
    std::string offered;
    for (const auto& [name, version] : versions) {
        offered += " " + name.toStdString() + " " + std::to_string(version);
    }
    debugLog("🖥️ Desktop portal:" + (offered.empty() ? std::string(" none") : offered));
    PortalProbe probe;
    probe.remoteDesktop = versions[QStringLiteral("RemoteDesktop")] >= 1;
    // A remote desktop session says whether it has the clipboard from version 2 on.
    probe.clipboard = versions[QStringLiteral("Clipboard")] >= 1 &&
                      versions[QStringLiteral("RemoteDesktop")] >= 2;
    probe.globalShortcuts = versions[QStringLiteral("GlobalShortcuts")] >= 1;
    return probe;
}

PortalClient::PortalClient(QDBusConnection bus, QString interface)
    : bus_(std::move(bus))
    , interface_(std::move(interface)) {}

PortalClient::~PortalClient() {
    closeSession();
}

// Unique among this connection's requests and sessions, as the portal wants them.
QString PortalClient::newToken() const {
    static unsigned counter = 0;
    return QStringLiteral("skrib%1").arg(++counter);
}

void PortalClient::request(const QString& method, QVariantList arguments, QVariantMap options,
                           Answer answer) {
    const QString token = newToken();
    options.insert(QStringLiteral("handle_token"), token);
    // The request object's path is known before the call, so no Response can be missed.
    QString sender = bus_.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString path =
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    bus_.connect(service, path, requestInterface, QStringLiteral("Response"), this,
                 SLOT(onResponse(QDBusMessage)));
    pending_[path] = std::move(answer);
    arguments << options;
    call(interface_, method, arguments, [this, path](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage) { // no Response will come
            respond(path, failed, {});
        }
    });
}

void PortalClient::onResponse(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    respond(message.path(), arguments.value(0).toUInt(),
            arguments.size() > 1 ? qdbus_cast<QVariantMap>(arguments.at(1)) : QVariantMap());
}

void PortalClient::respond(const QString& path, unsigned response, const QVariantMap& results) {
    const auto found = pending_.find(path);
    if (found == pending_.end()) {
        return;
    }
    const Answer answer = std::move(found->second);
    pending_.erase(found);
    bus_.disconnect(service, path, requestInterface, QStringLiteral("Response"), this,
                    SLOT(onResponse(QDBusMessage)));
    answer(response, results);
}

void PortalClient::createSession(std::function<void(unsigned response)> done) {
    request(QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), newToken()}},
            [this, done = std::move(done)](unsigned response, const QVariantMap& results) {
                // An object path, though some portals send it as a string.
                const QVariant handle = results.value(QStringLiteral("session_handle"));
                if (response == accepted) {
                    session_ = handle.metaType() == QMetaType::fromType<QDBusObjectPath>()
                                   ? handle.value<QDBusObjectPath>().path()
                                   : handle.toString();
                    response = session_.isEmpty() ? failed : accepted;
                }
                if (response == accepted) {
                    bus_.connect(service, session_, sessionInterface, QStringLiteral("Closed"),
                                 this, SLOT(onClosed(QDBusMessage)));
                }
                done(response);
            });
}

void PortalClient::call(const QString& interface, const QString& method,
                        const QVariantList& arguments,
                        std::function<void(const QDBusMessage&)> reply) {
    QDBusMessage message = portalCall(interface, method);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [method, reply = std::move(reply)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusMessage answer = finished->reply();
                if (answer.type() == QDBusMessage::ErrorMessage) {
                    debugLog("⚠️ Desktop portal: " + method.toStdString() +
                             " failed: " + answer.errorMessage().toStdString());
                }
                if (reply) {
                    reply(answer);
                }
            });
}

void PortalClient::closeSession() {
    if (session_.isEmpty()) {
        return;
    }
    bus_.disconnect(service, session_, sessionInterface, QStringLiteral("Closed"), this,
                    SLOT(onClosed(QDBusMessage)));
    bus_.send(QDBusMessage::createMethodCall(service, session_, sessionInterface,
                                             QStringLiteral("Close")));
    session_.clear();
}

void PortalClient::onClosed(const QDBusMessage& message) {
    if (message.path() != session_) {
        return;
    }
    bus_.disconnect(service, session_, sessionInterface, QStringLiteral("Closed"), this,
                    SLOT(onClosed(QDBusMessage)));
    session_.clear();
    sessionClosed();
}

void PortalClient::connectSignal(const QString& interface, const QString& name, const char* slot) {
    bus_.connect(service, objectPath, interface, name, this, slot);
}

} // namespace skrib
