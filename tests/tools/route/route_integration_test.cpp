#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/network_isolation.hpp"
#include "tests/common/process_test_support.hpp"

namespace tarnel {
namespace {

BoundedCommandResult runTool(const std::vector<std::string>& arguments) {
    return BoundedCommandRunner::run({TARNEL_ROUTE_TOOL, arguments}, 65536, testing::withinSeconds(30));
}

// Every call but the two the helper makes is refused before anything is read
// or changed, wherever the tool runs.
TEST(RouteTool, RefusesEveryOtherCallWithStatus2) {
    const std::vector<std::vector<std::string>> calls = {
        {},
        {"-n", "get"},
        {"get", "172.19.0.2"},
        {"-n", "get", "172.19.0.3"},
        {"-n", "get", "172.19.0.2", "extra"},
        {"-n", "get", "172.19.0.2 "},
        {"-n", "add", "-host", "172.19.0.2", "-interface", "en0"},
        {"-n", "add", "-host", "172.19.0.2", "-interface", "utun5\n"},
        {"-n", "add", "-host", "172.19.0.2", "-interface", "utunX"},
        {"-n", "add", "-host", "172.19.0.2", "-interface"},
        {"-n", "add", "-host", "172.19.0.2", "-interface", "utun5", "extra"},
        {"-n", "add", "-host", "10.0.0.1", "-interface", "utun5"},
        {"-n", "add", "-net", "172.19.0.2", "-interface", "utun5"},
        {"add", "-host", "172.19.0.2", "-interface", "utun5"},
        {"-n", "delete", "-host", "172.19.0.2", "-interface", "utun5"},
        {"-n", "change", "-host", "172.19.0.2", "-interface", "utun5"},
    };
    for (const auto& call : calls) {
        const auto result = runTool(call);
        std::string text;
        for (const auto& argument : call) text += "[" + argument + "]";
        EXPECT_EQ(result.terminationStatus, 2) << text;
        EXPECT_EQ(result.output, "") << text;
    }
}

TEST(RouteTool, RefusesToRunInTheHostsNetworkNamespace) {
    if (NetworkIsolation::inSeparateNamespace()) GTEST_SKIP() << "the test itself runs in a separate namespace";
    const auto result = runTool({"-n", "get", "172.19.0.2"});
    EXPECT_EQ(result.terminationStatus, 1);
    EXPECT_EQ(result.output, "");
}

}  // namespace
}  // namespace tarnel
