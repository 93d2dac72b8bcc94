#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/json.hpp"
#include "common/base/uuid.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/system_tools.hpp"
#include "platform/runtime_host.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel {
namespace {

using RouteToolE2E = testing::NamespaceTest;
using testing::NetworkNamespace;

TEST_F(RouteToolE2E, TheQueryNamesTheTunnelInterfaceInTheMacOSForm) {
    NetworkNamespace space;
    space.addTunnel("utun5", "172.19.0.1/30");
    const auto result = space.run({TARNEL_ROUTE_TOOL, {"-n", "get", "172.19.0.2"}}, 30);
    EXPECT_EQ(result.terminationStatus, 0);
    EXPECT_EQ(result.output, "   route to: 172.19.0.2\n  interface: utun5\n");
    EXPECT_TRUE(PrivilegedHelperContract::routeOutputShowsInterface(result.output, "utun5"));
}

// The helper's DNS route step, through its own runner and the mapping of
// /sbin/route: the query shows the physical path, the add puts the host route
// on the tunnel, and the second query shows it.
TEST_F(RouteToolE2E, TheHelpersRouteStepPutsTheDNSAddressOnTheTunnel) {
    NetworkNamespace space;
    space.ip({"link", "add", "en0", "type", "veth", "peer", "name", "en0peer"});
    space.ip({"link", "set", "en0", "up"});
    space.ip({"link", "set", "en0peer", "up"});
    space.ip({"addr", "add", "10.9.0.1/24", "dev", "en0"});
    space.ip({"route", "add", "default", "via", "10.9.0.254", "dev", "en0"});
    space.addTunnel("utun5", "172.19.0.1/32");

    const SystemTools::ScopedMapping mapping(SystemTools::route, TARNEL_ROUTE_TOOL);
    const PrivilegedTunnelStartupControl control({Uuid::random(), SystemClock::shared().uptime() + 60, false},
                                                 [] { return false; });
    const auto route = [&](const std::vector<std::string>& arguments) {
        return space.inside([&] { return RuntimeHost::runRoute(arguments, control); });
    };
    const std::vector<std::string> query{"-n", "get", "172.19.0.2"};

    const auto before = route(query);
    EXPECT_EQ(before.terminationStatus, 0);
    EXPECT_EQ(before.output, "   route to: 172.19.0.2\n    gateway: 10.9.0.254\n  interface: en0\n");
    EXPECT_FALSE(PrivilegedHelperContract::routeOutputShowsInterface(before.output, "utun5"));

    const auto add = route(PrivilegedHelperContract::protectedDNSRouteArguments("utun5"));
    EXPECT_EQ(add.terminationStatus, 0);
    EXPECT_EQ(add.output, "add host 172.19.0.2: gateway utun5\n");

    const auto after = route(query);
    EXPECT_EQ(after.terminationStatus, 0);
    EXPECT_TRUE(PrivilegedHelperContract::routeOutputShowsInterface(after.output, "utun5"));
    const auto routes = json::parse(space.ip({"-j", "route", "get", "172.19.0.2"}), json::TopLevel::array);
    EXPECT_EQ(json::ObjectReader(routes.at(0)).string("dev"), "utun5");

    // The route exists now: a second add fails, as the system tool's does.
    EXPECT_EQ(route(PrivilegedHelperContract::protectedDNSRouteArguments("utun5")).terminationStatus, 1);
}

TEST_F(RouteToolE2E, AQueryWithoutARouteFails) {
    NetworkNamespace space;
    const auto result = space.run({TARNEL_ROUTE_TOOL, {"-n", "get", "172.19.0.2"}}, 30);
    EXPECT_EQ(result.terminationStatus, 1);
    EXPECT_EQ(result.output, "");
}

}  // namespace
}  // namespace tarnel
