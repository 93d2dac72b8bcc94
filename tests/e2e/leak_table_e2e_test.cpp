// The kill switch on real packets, through the helper program, in the
// namespaces of tunnel_topology.hpp. The client runs the helper over the
// enforcing pfctl stand-in, and the helper runs the stand-in runtime, whose
// tunnel (IPv4 only) ends at the tunnel server (endpoint 203.0.113.5:7000,
// resolver 172.19.0.2 behind it); the application's side is the client
// program of helper_harness.hpp. The probes and hosts are those of
// leak_probes.hpp: each probe is what a leak would use; the table gives, for
// each protection state, what the rule text lets out, and the "off" states are
// every probe's positive control.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/process/child_process.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/e2e/leak_probes.hpp"
#include "tests/e2e/tunnel_topology.hpp"
#include "tests/support/build_products.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {
namespace {

class LeakTable : public NamespaceTest {
protected:
    // Where nothing answers: the endpoint of a route whose tunnel carries
    // nothing.
    static constexpr const char* kSilentEndpoint = "203.0.113.6";

    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        topology_.emplace();
        hosts_.emplace(*topology_);
        files::writeAtomically(directory_ / "config.json", pinnedTunnelConfiguration());
        helper_.emplace(client(), true);
    }
    void TearDown() override { helper_.reset(); }

    // The runtime started in the client namespace; waits for its tunnel.
    void startRuntime() {
        ChildProcess::Options options;
        options.executable = buildProduct("standins/sing-box/sing-box");
        options.arguments = {"run", "-c", (directory_ / "config.json").string()};
        options.output = ChildProcess::Redirect::null();
        options.error = ChildProcess::Redirect::null();
        runtime_.emplace(client().launch(options));
        for (int attempt = 0; attempt < 100; ++attempt) {
            const auto route = client().ip({"route", "show", "0.0.0.0/1"});
            if (route.find("utun0") != std::string::npos) return;
            ::usleep(50'000);
        }
        FAIL() << "the runtime's tunnel did not come up";
    }
    void stopRuntime() {
        if (runtime_) runtime_->stop(2.0, 2.0);
        runtime_.reset();
    }

    // Moves the kill switch's lease into the past, as time would, and waits
    // for the helper's watchdog to take the protection down.
    bool expireLease() const {
        const std::filesystem::path record = helper_->runtime() / PacketFilterKillSwitch::stateFileName;
        auto state = PacketFilterKillSwitch::State::decode(files::readIfExists(record).value_or(""));
        state.leaseExpiresAt = SystemClock::shared().wallSeconds() - 1.0;
        files::writeAtomically(record, state.encoded(), 0600);
        for (int poll = 0; poll < 200; ++poll) {
            if (!std::filesystem::exists(record) && helper_->pf().anchorRules().empty()) return true;
            ::usleep(50'000);
        }
        return false;
    }

    // Runs every probe; prints the row and gives the cells that differ from
    // the table's column.
    std::string row(LeakColumn column) const {
        return runLeakRow(client()).compare(std::string(leakColumnName(column)), column);
    }

    [[nodiscard]] const NetworkNamespace& client() const { return topology_->client(); }

    TemporaryDirectory directory_;
    std::optional<TunnelTopology> topology_;
    std::optional<LeakHosts> hosts_;
    std::optional<ChildProcess> runtime_;
    std::optional<HelperHarness> helper_;
};

TEST_F(LeakTable, EveryProbeMatchesWhatTheRulesLetOutInEveryProtectionState) {
    if (IsSkipped()) return;
    std::string failures;

    // Off: the positive control of every probe; the one that needs a tunnel
    // is controlled with the runtime started directly, without the helper and
    // so without a kill switch.
    failures += row(LeakColumn::off);
    startRuntime();
    failures += row(LeakColumn::offRuntime);
    stopRuntime();

    // Connecting: the helper switched protection on, and the runtime never
    // brought its tunnel up (a runtime that makes no interface: the start
    // fails and leaves the kill switch on).
    helper_->startHelper({"TARNEL_STANDIN_FAULT=no-interface"});
    const Reply stalled = helper_->startTunnel(pinnedTunnelConfiguration());
    EXPECT_EQ(stalled.values.value("errorMessage", ""), "The tunnel interface did not appear during startup.");
    failures += row(LeakColumn::connecting);

    // Under a route's gate: a helper whose runtime works (the new helper's
    // launch recovery finds no tunnel and takes the old protection down)
    // starts a tunnel to an endpoint where nothing answers and promotes a
    // fresh protection to it, as while the application checks that route.
    helper_->stopHelper();
    helper_->startHelper();
    const Reply gated = helper_->startTunnel(pinnedTunnelConfiguration(kSilentEndpoint));
    EXPECT_TRUE(gated.has("processIdentifier")) << gated.values.dump();
    failures += row(LeakColumn::underGate);

    // Active: the tunnel to the tunnel server replaces it.
    const Reply started = helper_->startTunnel(pinnedTunnelConfiguration());
    EXPECT_TRUE(started.has("processIdentifier")) << started.values.dump();
    failures += row(LeakColumn::active);

    // Lease expired: the helper's watchdog takes the protection down; the
    // runtime itself still runs.
    EXPECT_TRUE(expireLease());
    failures += row(LeakColumn::leaseExpired);

    // After disconnect: a fresh start, then the application's disconnect.
    const Reply restarted = helper_->startTunnel(pinnedTunnelConfiguration());
    EXPECT_TRUE(restarted.has("processIdentifier")) << restarted.values.dump();
    EXPECT_EQ(helper_->call("disconnectTunnelWithReply:").values, json::parse(R"({"ok":true})"));
    failures += row(LeakColumn::disconnected);
    EXPECT_EQ(failures, "");
}

}  // namespace
}  // namespace tarnel::testing
