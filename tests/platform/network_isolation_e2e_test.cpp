#include "platform/network_isolation.hpp"

#include <gtest/gtest.h>

#include "tests/common/process_test_support.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel {
namespace {

using NetworkIsolationE2E = testing::NamespaceTest;

// Whether this process shares process 1's network namespace, as coreutils'
// stat tells from each namespace's own /proc/<pid>/net/dev entry.
bool sharesProcessOnesNamespace() {
    const auto result = BoundedCommandRunner::run(
        testing::shell("stat -L -c '%d %i' /proc/1/net/dev /proc/$$/net/dev"), 4096, testing::withinSeconds(10));
    const auto lineBreak = result.output.find('\n');
    return result.terminationStatus == 0 && lineBreak != std::string::npos &&
           result.output.substr(0, lineBreak + 1) == result.output.substr(lineBreak + 1);
}

TEST_F(NetworkIsolationE2E, TellsATestNamespaceFromTheMachineOne) {
    testing::NetworkNamespace space;
    const auto inner = space.inside([] { return NetworkIsolation::currentNamespace(); });
    ASSERT_TRUE(inner);
    EXPECT_TRUE(inner->starts_with("net:["));
    EXPECT_NE(inner, NetworkIsolation::currentNamespace());
    EXPECT_TRUE(space.inside([] { return NetworkIsolation::inSeparateNamespace(); }));
    EXPECT_EQ(NetworkIsolation::inSeparateNamespace(), !sharesProcessOnesNamespace());
}

}  // namespace
}  // namespace tarnel
