// Runs the Qt adapter tests inside a real QCoreApplication, with the user's configuration
// folder pointed at a fresh temporary folder.
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>

std::string gConfigHome;

int main(int argc, char** argv) {
    char pattern[] = "/tmp/skrib-qt-test-XXXXXX";
    gConfigHome = std::string(::mkdtemp(pattern)) + "/config";
    std::filesystem::create_directories(gConfigHome);
    ::setenv("XDG_CONFIG_HOME", gConfigHome.c_str(), 1);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::filesystem::remove_all(std::filesystem::path(gConfigHome).parent_path());
    return result;
}
