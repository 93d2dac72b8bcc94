// "Test all" end to end: the application state (the driver, as "nobody",
// the signed application's main executable) connects through three routes
// in turn through the real helper over the enforcing pfctl stand-in, in the
// namespaces of tunnel_topology.hpp. The runtime of the second route exits
// during its start (a stand-in fault meant for its server only); the other
// two carry the traffic checks through their tunnels.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/catalog/route_model.hpp"
#include "common/base/json.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "tests/e2e/tunnel_driver_test.hpp"

namespace tarnel::testing {
namespace {

class RouteTestE2E : public ExitingRuntimeDriverTest {};

TEST_F(RouteTestE2E, TheRouteWhoseRuntimeExitsIsUnavailableAndTheTestEndsDisconnected) {
    if (IsSkipped()) return;
    // The tunnel server listens on the endpoint's port; the second route's
    // runtime exits before it would use its own.
    const std::vector<RouteNode> routes{trojanRoute("r1", "RO", TunnelTopology::kEndpointPort),
                                        trojanRoute("r2", "RO", kExitingPort),
                                        trojanRoute("r3", "RO", TunnelTopology::kEndpointPort)};
    json::Value stored = json::Value::array();
    for (const RouteNode& route : routes) stored.push_back(route.toJson());
    driver_->send({{"command", "testAll"}, {"routes", stored}});

    const auto summary = driver_->waitForLine("Route test completed: ", 300.0);
    ASSERT_TRUE(summary) << ::testing::PrintToString(driver_->log());
    EXPECT_EQ(*summary, "Route test completed: 2 available, 0 slow, 1 unavailable, 0 not tested.");
    EXPECT_TRUE(driver_->waitForLine("Retrying " + routes[1].displayTitle() + " with the extended reachability gate.",
                                     0.0));

    const json::Value ended = driver_->state();
    EXPECT_EQ(ended.at("tunnelStatus"), "disconnected");
    EXPECT_TRUE(ended.at("activeMode").is_null());
    EXPECT_EQ(ended.at("routeAvailability"),
              json::Value({{"r1", "available"}, {"r2", "unavailable"}, {"r3", "available"}}));
    EXPECT_EQ(helper_->operate("protection").values.at("result").at("active"), false);
    for (const auto& link : topology_->client().links()) EXPECT_FALSE(link.name.starts_with("utun")) << link.name;
    EXPECT_FALSE(std::filesystem::exists(helper_->runtime() / PacketFilterKillSwitch::stateFileName));
    EXPECT_EQ(driver_->finish(10.0), 0);
    EXPECT_TRUE(driver_->otherLines().empty()) << ::testing::PrintToString(driver_->otherLines());
}

}  // namespace
}  // namespace tarnel::testing
