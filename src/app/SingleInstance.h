#pragma once

#include <functional>
#include <string>

#include <QLocalServer>

namespace skrib {

/// One running program per user. The program that holds the lock file in the runtime folder is
/// the running one, however many start at once; it listens on a local socket beside it, and a
/// later start hands over to it (the running program shows its window) and ends. The lock goes
/// with the process, so a program that was killed leaves nothing that blocks the next start.
class SingleInstance {
public:
    /// The socket of this user's running program; its lock file is the same path + ".lock".
    static std::string socketPath();

    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    /// Takes the lock without waiting: true when this start is to be the running program (also
    /// when the lock file cannot be made at all, so a broken runtime folder never stops it).
    bool claim(const std::string& path = socketPath());

    /// Asks the running program to show its window, waiting up to `seconds` for it to answer
    /// (it may be starting still); true when it answered. Needs no Qt objects.
    static bool handOff(const std::string& path = socketPath(), double seconds = 10);

    /// Becomes the program others hand over to; `onOpen` runs (on the main thread) for each later
    /// start. Call after `claim`. False when the socket cannot be made (the program then runs
    /// without it).
    bool listen(std::function<void()> onOpen, const std::string& path = socketPath());
    /// Stops answering and lets the lock go, so a program started now becomes the running one
    /// (used when an update relaunches the program while this one is about to quit).
    void close();

private:
    int lockFd_ = -1;
    QLocalServer server_;
};

} // namespace skrib
