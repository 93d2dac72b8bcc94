#pragma once

// A test of the application state over the namespaces of tunnel_topology.hpp:
// the HTTPS test server on the internet host, the helper over the enforcing
// pfctl stand-in in the client namespace, and the driver's traffic checks
// aimed at the internet host through the tunnel.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/catalog/route_model.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "tests/e2e/app_state_driver.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/e2e/tunnel_topology.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel::testing {

class TunnelDriverTest : public NamespaceTest {
protected:
    // Builds the namespaces and starts the server and the helper, with
    // `helperEnvironment` ("KEY=value") added to the helper's environment.
    void setUpTunnel(const std::vector<std::string>& helperEnvironment = {}) {
        topology_.emplace();
        server_ = topology_->internet().inside([] {
            HttpsTestServer::Options options;
            options.address = TunnelTopology::kInternetAddress;
            options.port = 443;
            return std::make_unique<HttpsTestServer>(options);
        });
        server_->answer("/cdn-cgi/trace", TestHttpAnswer::ok("fl=1\nh=trace.tarnel.test\n"));
        helper_.emplace(topology_->client(), true);
        helper_->startHelper(helperEnvironment);
        checks_.ipRouteAddress = TunnelTopology::kInternetAddress;
        checks_.wildcardDNSDomain = "tarnel.test";
        checks_.traceHost = "trace.tarnel.test";
        checks_.resolver = "172.19.0.2";
        checks_.allowedAddresses = {TunnelTopology::kInternetAddress};
        checks_.caFile = server_->caFile();
    }

    // The helper's tunnel process, none when it runs none.
    [[nodiscard]] std::optional<std::int64_t> helperRuntime() const {
        const Reply status = helper_->operate("status");
        const json::Value& result = status.values.at("result");
        if (!result.contains("processIdentifier")) return std::nullopt;
        return result.at("processIdentifier").get<std::int64_t>();
    }
    // The kill switch's lease end, as its record holds it.
    [[nodiscard]] double leaseEnd() const {
        const auto record = files::readIfExists(helper_->runtime() / PacketFilterKillSwitch::stateFileName);
        if (!record) return 0.0;
        return PacketFilterKillSwitch::State::decode(*record).leaseExpiresAt;
    }
    // Waits up to `seconds` for the lease to end later than `than`.
    [[nodiscard]] bool leaseEndsAfter(double than, double seconds) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (leaseEnd() <= than) {
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    std::optional<TunnelTopology> topology_;
    std::unique_ptr<HttpsTestServer> server_;
    std::optional<HelperHarness> helper_;
    AppStateDriver::Checks checks_;
};

// A Trojan route to the tunnel server's address at `port`.
inline RouteNode trojanRoute(std::string id, std::string nodeCode, std::int64_t port) {
    RouteNode route;
    route.id = std::move(id);
    route.transport = RouteTransport::trojan;
    route.title = nodeCode + " Trojan";
    route.nodeCode = std::move(nodeCode);
    route.server = TunnelTopology::kEndpointAddress;
    route.port = port;
    route.password = "secret";
    route.serverName = "tarnel.test";
    route.fingerprint = "chrome";
    return route;
}

// One driver over a helper whose runtime exits during its start for a route
// at `kExitingPort` (a stand-in fault meant for that server only); a route at
// the endpoint's own port reaches the tunnel server.
class ExitingRuntimeDriverTest : public TunnelDriverTest {
protected:
    static constexpr std::int64_t kExitingPort = 7001;

    void SetUp() override {
        TunnelDriverTest::SetUp();
        if (IsSkipped()) return;
        setUpTunnel({"TARNEL_STANDIN_FAULT=exit=3,only-server=" + std::string(TunnelTopology::kEndpointAddress) + ":" +
                     std::to_string(kExitingPort)});
        ASSERT_TRUE(helper_->listening());
        driver_.emplace(*helper_, checks_);
    }
    void TearDown() override {
        driver_.reset();
        helper_.reset();
    }

    std::optional<AppStateDriver> driver_;
};

}  // namespace tarnel::testing
