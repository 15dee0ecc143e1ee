#pragma once

#include <functional>
#include <map>

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

class QDBusMessage;

namespace skrib {

/// What the desktop portal service on the session bus offers: the interfaces this program uses,
/// with a version it can work with. All false where no portal service answers.
struct PortalProbe {
    bool remoteDesktop = false;   // a keyboard the program drives, after the user's consent
    bool clipboard = false;       // the clipboard of a remote desktop session
    bool globalShortcuts = false; // a hotkey the desktop watches for the program
};

/// Asks the portal service for its interfaces' versions, starting it where the bus starts it on
/// demand; blocks for up to a few seconds. Logs the outcome.
PortalProbe probePortal(const QDBusConnection& bus = QDBusConnection::sessionBus());

/// The conversation every portal session has: methods that answer later through the Response
/// signal of a request object, one session the portal may close, calls whose failures are
/// logged. Main thread only; needs a running Qt event loop.
class PortalClient : public QObject {
    Q_OBJECT

public:
    static constexpr const char* service = "org.freedesktop.portal.Desktop";
    static constexpr const char* objectPath = "/org/freedesktop/portal/desktop";
    /// The Response codes of a request.
    static constexpr unsigned accepted = 0, cancelled = 1, failed = 2;

    /// Closes the session, if one is open.
    ~PortalClient() override;

protected:
    using Answer = std::function<void(unsigned response, const QVariantMap& results)>;

    /// A client of the portal interface `interface` (e.g. "org.freedesktop.portal.RemoteDesktop").
    PortalClient(QDBusConnection bus, QString interface);

    /// Calls `method` with `arguments` and then `options`, to which a handle token is added;
    /// `answer` gets the request's Response, or `failed` when the call itself fails.
    void request(const QString& method, QVariantList arguments, QVariantMap options, Answer answer);
    /// Creates a session (CreateSession); `done` gets the response, the session set on success.
    void createSession(std::function<void(unsigned response)> done);
    /// Calls a method of `interface` that answers at once; a failure is logged. `reply` gets the
    /// reply, or the error.
    void call(const QString& interface, const QString& method, const QVariantList& arguments,
              std::function<void(const QDBusMessage&)> reply = {});
    /// Closes the session (no Closed notice follows).
    void closeSession();
    /// The portal closed the session; `session()` is already empty.
    virtual void sessionClosed() {}
    /// Connects a signal of the portal object to `slot` (SLOT(name(QDBusMessage))).
    void connectSignal(const QString& interface, const QString& name, const char* slot);

    /// The session's object path; empty while there is none.
    const QString& session() const { return session_; }
    QDBusConnection& bus() { return bus_; }

private slots:
    void onResponse(const QDBusMessage& message);
    void onClosed(const QDBusMessage& message);

private:
    QString newToken() const;
    void respond(const QString& path, unsigned response, const QVariantMap& results);

    QDBusConnection bus_;
    QString interface_;
    QString session_;
    std::map<QString, Answer> pending_; // by request object path
};

} // namespace skrib
