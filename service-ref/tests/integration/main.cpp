#include <csignal>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // A server that closes a connection while a test still writes must fail that request, not
    // end the test process.
    std::signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
