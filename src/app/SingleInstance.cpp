#include "app/SingleInstance.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <QLocalSocket>

namespace skrib {
namespace {

constexpr std::string_view openRequest = "open\n";
constexpr std::string_view openReply = "ok\n";

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

// One attempt: connect, ask, and wait for the answer until the deadline.
bool askOnce(const std::string& path, Clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool answered = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, openRequest.data(), openRequest.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(openRequest.size())) {
        std::string reply;
        pollfd waiting{fd, POLLIN, 0};
        while (reply.size() < openReply.size() && ::poll(&waiting, 1, millisecondsLeft(deadline)) > 0) {
            char buffer[16];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            reply.append(buffer, static_cast<std::size_t>(n));
        }
        answered = reply.starts_with(openReply);
    }
    ::close(fd);
    return answered;
}

} // namespace

std::string SingleInstance::socketPath() {
    std::string folder;
    struct stat info {};
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && *runtime != '\0' && ::stat(runtime, &info) == 0 && S_ISDIR(info.st_mode)) {
        folder = runtime;
    } else {
        const char* temporary = std::getenv("TMPDIR");
        folder = temporary != nullptr && *temporary != '\0' ? temporary : "/tmp";
    }
    return folder + "/vantu-skrib-" + std::to_string(::getuid()) + ".socket";
}

SingleInstance::~SingleInstance() {
    close();
}

bool SingleInstance::claim(const std::string& path) {
    const std::string lockPath = path + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        return true;
    }
    struct stat info {};
    if (::fstat(lockFd_, &info) != 0 || info.st_uid != ::getuid()) {
        ::close(lockFd_); // someone else's file: not a lock of this user's
        lockFd_ = -1;
        return true;
    }
    while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            ::close(lockFd_);
            lockFd_ = -1;
            return false;
        }
    }
    return true;
}

bool SingleInstance::handOff(const std::string& path, double seconds) {
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    // The running program may hold the lock but not listen yet: ask again until it answers.
    do {
        if (askOnce(path, deadline)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (Clock::now() < deadline);
    return false;
}

bool SingleInstance::listen(std::function<void()> onOpen, const std::string& path) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this, onOpen] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket,
                             &QLocalSocket::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, onOpen] {
                if (!socket->canReadLine()) {
                    return;
                }
                const bool open = socket->readLine(64) == QByteArray(openRequest.data());
                socket->write(open ? QByteArray(openReply.data()) : QByteArray("?\n"));
                socket->disconnectFromServer();
                if (open) {
                    onOpen();
                }
            });
        }
    });
    // This program holds the lock, so a socket file here was left by one that ended without
    // cleaning up.
    const QString socket = QString::fromStdString(path);
    QLocalServer::removeServer(socket);
    return server_.listen(socket);
}

void SingleInstance::close() {
    server_.close();
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

} // namespace skrib
