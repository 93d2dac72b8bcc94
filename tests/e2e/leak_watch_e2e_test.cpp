// The leak watch of leak_probes.hpp over the helper program with the
// enforcing pfctl stand-in, in the namespaces of tunnel_topology.hpp: the
// watch sees outside passes while nothing protects, the kill switch's rules
// come with a start the helper tries and go with the disconnect, and its
// checks hold exactly over the protected window.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/base/json.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/e2e/leak_probes.hpp"
#include "tests/e2e/tunnel_topology.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel::testing {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

class LeakWatchTest : public NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        topology_.emplace();
        hosts_.emplace(*topology_);
        helper_.emplace(topology_->client(), true);
        // A runtime that exits at once: the start fails and leaves the kill
        // switch on, as a route that fails its gate does.
        helper_->startHelper({"TARNEL_STANDIN_FAULT=exit=3"});
        watch_.emplace(topology_->client(), helper_->pf());
    }
    void TearDown() override {
        watch_.reset();
        helper_.reset();
    }

    std::optional<TunnelTopology> topology_;
    std::optional<LeakHosts> hosts_;
    std::optional<HelperHarness> helper_;
    std::optional<LeakWatch> watch_;
};

TEST_F(LeakWatchTest, HoldsExactlyWhileTheKillSwitchHoldsRules) {
    if (IsSkipped()) return;
    const double watched = now();
    ASSERT_TRUE(watch_->waitForSampleAfter(watched));

    const double protecting = now();
    const Reply failed = helper_->startTunnel(pinnedTunnelConfiguration());
    ASSERT_FALSE(failed.has("processIdentifier")) << failed.values.dump();
    ASSERT_NE(helper_->pf().anchorRules(), "");
    const double on = now();
    // Samples that started well after the rules came have ended.
    ASSERT_TRUE(watch_->waitForSampleAfter(on + 3 * LeakWatch::kPeriod));
    const double releasing = now();
    EXPECT_EQ(helper_->call("disconnectTunnelWithReply:").values, json::parse(R"({"ok":true})"));
    const double off = now();
    ASSERT_TRUE(watch_->waitForSampleAfter(off));
    const double end = now();

    // Unprotected, both probes pass and no sample has rules.
    EXPECT_THAT(watch_->violationsBetween(watched, protecting),
                AllOf(HasSubstr("rules no/no, internet TCP, outside the tunnel \"pass 203.0.113.1\", DNS 53, "
                                "outside the tunnel \"pass 203.0.113.1\""),
                      HasSubstr("no sample with rules")));
    EXPECT_THAT(watch_->violationsFromFirstRules(protecting), HasSubstr("no sample with rules"));
    // From the first sample with rules until the release, and while the rules
    // surely stood, the watch holds.
    EXPECT_EQ(watch_->violationsFromFirstRules(releasing, protecting), "");
    EXPECT_EQ(watch_->violationsBetween(on, releasing), "");
    // Past the release it sees the rules gone and the probes out again.
    EXPECT_THAT(watch_->violationsFromFirstRules(end, protecting),
                HasSubstr("rules no/no, internet TCP, outside the tunnel \"pass 203.0.113.1\""));
    watch_->stop();
    EXPECT_EQ(watch_->violationsFromFirstRules(releasing, protecting), "");
}

}  // namespace
}  // namespace tarnel::testing
