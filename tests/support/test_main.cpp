#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // Both programs ignore SIGPIPE; the tests run under the same rule.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
