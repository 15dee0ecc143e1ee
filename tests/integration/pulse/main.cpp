// Runs the PulseAudio adapter tests inside a QCoreApplication (the capture tests drive the
// capture manager on Qt's main queue). Each test starts its own PulseAudio daemon.

#include <csignal>
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    // A FIFO whose reader was unloaded must fail the writer's write(), not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
