// Runs the update tests inside a real QCoreApplication: the updater's main queue is Qt's event
// loop, as in the program.

#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
