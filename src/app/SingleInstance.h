#pragma once

#include <functional>

#include <QLocalServer>
#include <QString>

namespace skrib {

/// One running program per user: the first start listens on a local socket in the runtime
/// folder; a later start hands over to it (the running program shows its window) and ends.
class SingleInstance {
public:
    /// The socket of this user's running program.
    static QString socketPath();

    /// Asks a running program to show its window; true when one answered, so this start can end.
    static bool handOff(const QString& path = socketPath());

    /// Becomes the program others hand over to; `onOpen` runs (on the main thread) for each later
    /// start. False when the socket cannot be made (the program then runs without it).
    bool listen(std::function<void()> onOpen, const QString& path = socketPath());
    /// Stops answering, so a program started now becomes the running one (used when an update
    /// relaunches the program while this one is about to quit).
    void close();

private:
    QLocalServer server_;
};

} // namespace skrib
