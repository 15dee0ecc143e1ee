#include "EventLoop.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace skrib::testing {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    if (condition()) {
        return true;
    }
    QEventLoop loop;
    QElapsedTimer elapsed;
    elapsed.start();
    bool held = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        held = condition();
        if (held || elapsed.elapsed() >= timeout.count()) {
            loop.quit();
        }
    });
    check.start(2);
    loop.exec();
    return held;
}

} // namespace skrib::testing
