#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "tests/state/app_state_fixture.hpp"
#include "tests/tunnel/netstat_standin.hpp"
#include "tests/tunnel/sample_routes.hpp"

// The launch recovery and its probe of the helper, started by the state's
// start-up.

namespace tarnel {
namespace {

using testing::runEventsUntil;
using testing::runPostedEvents;
using Lines = std::vector<std::string>;

PrivilegedHelperClientError timedOut() {
    return PrivilegedHelperClientError(PrivilegedHelperClientError::Case::timedOut);
}

class RecoveryTest : public testing::AppStateFixture {
protected:
    RecoveryTest() {
        launchRecovery = true;
        settings->set(AppState::savedActiveRouteIDKey, std::string("r1"));
        helper->onRenewTunnelProtectionLease = [](double, bool) {};
        sleeper->hold();
    }

    // The application's folder in a data directory of the test.
    testing::NetstatStandIn netstat;
};

TEST_F(RecoveryTest, AHelperThatAnswersTheThirdTimeIsRecoveredAfterTwoGrowingPauses) {
    std::atomic<int> statusQuestions = 0;
    helper->onTunnelStatus = [&](double) -> std::optional<std::int32_t> {
        if (++statusQuestions < 3) throw timedOut();
        return 777;
    };
    helper->onTunnelProtectionStatus = [](double) { return true; };
    AppState& app = start();
    for (std::size_t sleeps = 1; sleeps <= 2; ++sleeps) {
        ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == sleeps; }));
        sleeper->wakeAll();
    }
    ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 3; }));

    EXPECT_EQ(sleeper->sleeps(), (std::vector<double>{0.25, 0.5, 20.0}));
    EXPECT_EQ(helperCalls(), (std::vector<std::string>{"tunnelStatus(0.75)", "tunnelStatus(0.75)",
                                                       "tunnelStatus(0.75)", "tunnelProtectionStatus(0.75)",
                                                       "renewTunnelProtectionLease(2)"}));
    EXPECT_EQ(newLogLines(), Lines{"Found privileged VPN process 777 after app launch, but its signed route identity "
                                "cannot be verified. Use Connect to replace it or Disconnect to stop it."});
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
    EXPECT_EQ(app.activeMode, ConnectionMode::tun);
    EXPECT_EQ(app.activeRouteID(), std::nullopt);
    EXPECT_FALSE(hasSetting(AppState::savedActiveRouteIDKey));
}

TEST_F(RecoveryTest, WhatTheHelperKeepsDecidesTheStateAndTheLease) {
    const struct Case {
        const char* name;
        bool reachable;
        std::optional<std::int32_t> process;
        bool protection;
        TunnelStatus status;
        std::optional<ConnectionMode> mode;
        bool lease;
        Lines lines;
    } cases[] = {
        {"unreachable", false, std::nullopt, false, TunnelStatus::disconnected, std::nullopt, false,
         {"Privileged VPN state was unavailable at launch; Connect will verify it before starting."}},
        {"protection only", true, std::nullopt, true, TunnelStatus::failed, ConnectionMode::tun, true,
         {"VPN protection is active without a running tunnel. Use Disconnect before reconnecting."}},
        {"a process without protection", true, 777, false, TunnelStatus::failed, ConnectionMode::tun, false,
         {"Found privileged VPN process 777 after app launch, but its signed route identity cannot be verified. Use "
          "Connect to replace it or Disconnect to stop it."}},
        {"nothing", true, std::nullopt, false, TunnelStatus::disconnected, std::nullopt, false, {}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        settings->set(AppState::savedActiveRouteIDKey, std::string("r1"));
        helper = std::make_shared<testing::ScriptedHelperClient>();
        helper->onRenewTunnelProtectionLease = [](double, bool) {};
        if (row.reachable) {
            helper->onTunnelStatus = [process = row.process](double) { return process; };
            helper->onTunnelProtectionStatus = [protection = row.protection](double) { return protection; };
        }
        sleeper = std::make_shared<testing::VirtualSleeper>(clock);
        AppState& app = start();
        ASSERT_TRUE(runEventsUntil([&] { return !hasSetting(AppState::savedActiveRouteIDKey); }));
        runPostedEvents();

        EXPECT_EQ(newLogLines(), row.lines);
        EXPECT_EQ(app.tunnelStatus(), row.status);
        EXPECT_EQ(app.activeMode, row.mode);
        EXPECT_EQ(app.activeRouteID(), std::nullopt);
        EXPECT_EQ(static_cast<bool>(app.protectionLeaseMonitor), row.lease);
        if (!row.reachable) {
            EXPECT_EQ(sleeper->sleeps(), (std::vector<double>{0.25, 0.5}));
            EXPECT_EQ(helperCalls(), std::vector<std::string>(3, "tunnelStatus(0.75)"));
        }
        endState();
    }
}

TEST_F(RecoveryTest, AConnectDuringTheProbeWinsOverItsAnswer) {
    std::promise<void> connected;
    std::atomic<bool> asked = false;
    helper->onTunnelStatus = [&](double) -> std::optional<std::int32_t> {
        asked = true;
        connected.get_future().wait();
        return 777;
    };
    helper->onTunnelProtectionStatus = [](double) { return true; };
    // Held by a slot, so that its end can be awaited.
    launchRecovery = false;
    AppState& app = start();
    app.replaceTask(app.routeTestTask, launchRecoveryTask());
    RouteNode route = testing::sampleRoute(RouteTransport::vless);
    route.id = "r1";
    app.setRoutes({route});
    ASSERT_TRUE(runEventsUntil([&] { return asked.load(); }));
    app.setConnectionMode(ConnectionMode::proxy);
    app.setManageSystemProxy(false);
    ASSERT_TRUE(app.connect());
    connected.set_value();
    ASSERT_TRUE(runEventsUntil([&] { return app.routeTestTask.isFinished(); }));

    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connected);
    EXPECT_EQ(app.activeMode, ConnectionMode::proxy);
    EXPECT_EQ(app.activeRouteID(), "r1");
    EXPECT_FALSE(app.protectionLeaseMonitor);
    EXPECT_EQ(newLogLines(), Lines{"Started proxy fallback for " + route.diagnosticDescription() +
                                ". System proxy not changed on Wi-Fi."});
}

TEST_F(RecoveryTest, UnderATestHostNoRecoveryAsksTheHelper) {
    variables[std::string(AppState::testHostVariable)] = "/tmp/tests.xctestconfiguration";
    AppState& app = start();
    runPostedEvents();
    EXPECT_TRUE(helper->calls().empty());
    EXPECT_EQ(app.activeRouteID(), std::nullopt);
}

TEST_F(RecoveryTest, AProbeOfNoAttemptsFailsWithoutAskingTheHelper) {
    launchRecovery = false;
    AppState& app = start();
    std::optional<std::string> outcome;
    app.startTask([&](AppState& owner, std::stop_token stop) -> QCoro::Task<> {
        try {
            co_await owner.probePrivilegedRuntime(0, stop);
            outcome = "answered";
        } catch (const PrivilegedHelperClientError& error) {
            outcome = error.message();
        }
    });
    ASSERT_TRUE(runEventsUntil([&] { return outcome.has_value(); }));
    EXPECT_EQ(outcome, "The privileged helper did not respond in time.");
    EXPECT_TRUE(helper->calls().empty());
}

}  // namespace
}  // namespace tarnel
