// The listing of the system's network connections, over the scutil stand-in.

#include "app/tunnel/competing_vpn_detector.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/base/clock.hpp"
#include "tests/tunnel/vpn_tool_standins.hpp"

namespace tarnel::testing {
namespace {

TEST(CompetingVPNDetector, ListsTheConnectionsAsUTF8Text) {
    VPNToolStandIns tools;
    EXPECT_EQ(CompetingVPNDetector::networkConnectionList(), kTailscaleServiceLine);
    EXPECT_EQ(VPNToolStandIns::calls(tools.scutilCalls()), "--nc list\n");

    // Ill-formed UTF-8 becomes U+FFFD; output of exactly the cap is taken.
    tools.writeServiceList("a\xff" "b\xe2\x82");
    EXPECT_EQ(CompetingVPNDetector::networkConnectionList(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    tools.writeServiceList(std::string(262'144, 'x'));
    EXPECT_EQ(CompetingVPNDetector::networkConnectionList().size(), 262'144u);
}

TEST(CompetingVPNDetector, AToolThatFailsIsReportedAsScutilFailed) {
    const struct {
        const char* name;
        std::function<void(VPNToolStandIns&)> change;
    } cases[] = {
        {"exit status 1", [](VPNToolStandIns&) { VPNToolStandIns::setScutil("TARNEL_SCUTIL_EXIT_STATUS", "1"); }},
        {"no tool", [](VPNToolStandIns& tools) { VPNToolStandIns::mapScutil(tools.directory() / "missing"); }},
        {"one byte over the cap", [](VPNToolStandIns& tools) { tools.writeServiceList(std::string(262'145, 'x')); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VPNToolStandIns tools;
        c.change(tools);
        EXPECT_EQ(failureOf([] { (void)CompetingVPNDetector::networkConnectionList(); }),
                  "Could not verify other active VPN profiles: scutil failed");
    }
}

TEST(CompetingVPNDetector, AToolThatHangsTimesOutAfterFiveSecondsAndIsStopped) {
    VPNToolStandIns tools;
    VPNToolStandIns::setScutil("TARNEL_SCUTIL_SLEEP", "30");
    const double start = SystemClock::shared().uptime();
    try {
        (void)CompetingVPNDetector::networkConnectionList();
        ADD_FAILURE() << "the listing succeeded";
    } catch (const CompetingVPNDetectorError& error) {
        EXPECT_EQ(error.message(), "Could not verify other active VPN profiles: scutil timed out");
    }
    const double elapsed = SystemClock::shared().uptime() - start;
    EXPECT_GE(elapsed, 5.0);
    EXPECT_LT(elapsed, 6.5);
    const auto process = tools.scutilProcess();
    ASSERT_TRUE(process);
    EXPECT_FALSE(isLiveProcess(*process));
}

}  // namespace
}  // namespace tarnel::testing
