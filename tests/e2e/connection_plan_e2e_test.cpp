// The failover plan end to end: the application state (the driver, as
// "nobody", the signed application's main executable) walks a plan through
// the real helper over the enforcing pfctl stand-in, in the namespaces of
// tunnel_topology.hpp. The runtime of the first candidate exits during its
// start (a stand-in fault meant for its server only); the second one's tunnel
// carries the traffic checks to the internet host, where the HTTPS test
// server answers the trace request and takes the bare TCP connections.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/catalog/route_model.hpp"
#include "common/base/json.hpp"
#include "common/base/uuid.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "tests/e2e/tunnel_driver_test.hpp"

namespace tarnel::testing {
namespace {

// The process's arguments, NUL-separated.
std::vector<std::string> commandLine(std::int64_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(file, argument, '\0');) arguments.push_back(argument);
    return arguments;
}

class ConnectionPlanE2E : public ExitingRuntimeDriverTest {};

TEST_F(ConnectionPlanE2E, ACandidateWhoseRuntimeExitsIsSkippedAndTheNextConnectsAfterRealTraffic) {
    if (IsSkipped()) return;
    const RouteNode first = trojanRoute("ro-trojan-7001", "RO", kExitingPort);
    const RouteNode second = trojanRoute("ee-trojan-7000", "EE", TunnelTopology::kEndpointPort);
    driver_->send({{"command", "run"},
                   {"attempt", Uuid::random().text()},
                   {"plan", {first.toJson(), second.toJson()}},
                   {"options", {{"timeBudget", 12.0}}}});
    const std::optional<json::Value> ended = driver_->waitUntilTheRunEnds(90.0);
    ASSERT_TRUE(ended) << ::testing::PrintToString(driver_->log());

    const std::vector<std::string> log = driver_->log();
    const std::vector<std::string> expected{
        "Privileged tunnel runtime prepared in ",
        "Route attempt failed for " + first.displayTitle() + ": The tunnel ",
        "Trying fallback 2 of 2: " + second.displayTitle(),
        "Tunnel helper ready for " + second.displayTitle() + " in ",
        "Tunnel health initial for " + second.displayTitle() + ": IP=pass/",
        "Connected through " + second.diagnosticDescription() + " after IP, DNS, and HTTPS checks.",
    };
    ASSERT_EQ(log.size(), expected.size()) << ::testing::PrintToString(log);
    for (std::size_t index = 0; index < expected.size(); ++index) {
        EXPECT_TRUE(log[index].starts_with(expected[index])) << log[index];
    }
    // The helper reports a runtime that exits before its live code check as
    // exited, and one that exits after it as a tunnel interface that never
    // appeared: the runtime here exits as soon as it has read its
    // configuration, which can come either side of that check.
    EXPECT_THAT(log[1].substr(log[1].find(": The tunnel ") + 2),
                ::testing::AnyOf("The tunnel runtime exited during startup.",
                                 "The tunnel interface did not appear during startup."));
    EXPECT_NE(log[4].find(", DNS=pass/"), std::string::npos) << log[4];
    EXPECT_NE(log[4].find(", HTTPS=pass/"), std::string::npos) << log[4];

    EXPECT_EQ(ended->at("tunnelStatus"), "connected");
    EXPECT_EQ(ended->at("activeMode"), "tun");
    EXPECT_EQ(ended->at("activeRouteID"), second.id);
    EXPECT_EQ(ended->at("routeAvailability"),
              json::Value({{first.id, "unavailable"}, {second.id, "available"}}));
    EXPECT_TRUE(ended->at("connectionAttemptID").is_null());

    // The helper's tunnel process is the runtime it started for the second
    // candidate.
    const Reply status = helper_->operate("status");
    ASSERT_TRUE(status.values.at("result").contains("processIdentifier")) << status.values.dump();
    const std::int64_t runtime = status.values.at("result").at("processIdentifier").get<std::int64_t>();
    const std::vector<std::string> arguments = commandLine(runtime);
    ASSERT_EQ(arguments.size(), 4U);
    EXPECT_TRUE(std::filesystem::path(arguments[0]).filename().string().starts_with("sing-box-")) << arguments[0];
    EXPECT_EQ(arguments[1], "run");

    // The trace request came out of the tunnel, from the tunnel server.
    bool traced = false;
    for (const TestHttpRequest& request : server_->requests()) {
        if (request.path != "/cdn-cgi/trace") continue;
        traced = true;
        EXPECT_EQ(request.peerAddress, TunnelTopology::kServerAddress);
    }
    EXPECT_TRUE(traced);

    // The harness's disconnect takes everything down.
    EXPECT_EQ(helper_->call("disconnectTunnelWithReply:").values, json::parse(R"({"ok":true})"));
    EXPECT_EQ(helper_->operate("protection").values.at("result").at("active"), false);
    for (const auto& link : topology_->client().links()) EXPECT_FALSE(link.name.starts_with("utun")) << link.name;
    EXPECT_FALSE(std::filesystem::exists(helper_->runtime() / PacketFilterKillSwitch::stateFileName));
    EXPECT_TRUE(helper_->pf().anchorRules().empty());
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(runtime)));
    EXPECT_EQ(driver_->finish(10.0), 0);
    EXPECT_TRUE(driver_->otherLines().empty()) << ::testing::PrintToString(driver_->otherLines());
}

}  // namespace
}  // namespace tarnel::testing
