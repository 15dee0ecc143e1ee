#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <unistd.h>

namespace skrib {
namespace {

constexpr int waitMilliseconds = 1000;
const QByteArray openRequest = "open\n";
const QByteArray openReply = "ok\n";

} // namespace

QString SingleInstance::socketPath() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists()) {
        folder = QDir::tempPath();
    }
    return QDir(folder).filePath(QStringLiteral("vantu-skrib-%1.socket").arg(::getuid()));
}

bool SingleInstance::handOff(const QString& path) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(waitMilliseconds)) {
        return false;
    }
    socket.write(openRequest);
    if (!socket.waitForBytesWritten(waitMilliseconds)) {
        return false;
    }
    // Only a program that answers counts: a socket left by a crashed one never does.
    QByteArray reply;
    while (reply.size() < openReply.size() && socket.waitForReadyRead(waitMilliseconds)) {
        reply += socket.readAll();
    }
    return reply.startsWith(openReply);
}

bool SingleInstance::listen(std::function<void()> onOpen, const QString& path) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this, onOpen] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket,
                             &QLocalSocket::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, onOpen] {
                if (!socket->canReadLine()) {
                    return;
                }
                const bool open = socket->readLine(64) == openRequest;
                socket->write(open ? openReply : QByteArray("?\n"));
                socket->disconnectFromServer();
                if (open) {
                    onOpen();
                }
            });
        }
    });
    if (server_.listen(path)) {
        return true;
    }
    // A socket file left by a program that ended without cleaning up (nothing answered it).
    QLocalServer::removeServer(path);
    return server_.listen(path);
}

void SingleInstance::close() {
    server_.close();
}

} // namespace skrib
