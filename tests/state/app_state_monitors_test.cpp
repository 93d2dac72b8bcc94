#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/contract/competing_vpn_detector_error.hpp"
#include "tests/state/app_state_fixture.hpp"
#include "tests/tunnel/sample_routes.hpp"

// The tunnel health, protection lease and proxy health monitors, in virtual
// time: each test holds the sleeps and lets the monitor on round by round.

namespace tarnel {
namespace {

using testing::runEventsUntil;
using testing::runPostedEvents;
using Lines = std::vector<std::string>;
using Checks = TunnelHealthProbe::Result;

constexpr Checks kAllPass{{{true, 0.1}, {true, 0.1}, {true, 0.1}}};
constexpr Checks kDNSFails{{{true, 0.1}, {false, 4.0}, {true, 0.1}}};
constexpr Checks kIPRouteAndHTTPSFail{{{false, 4.0}, {true, 0.1}, {false, 4.0}}};

std::string makersVPNList() {
    return "* (Connected)      6F1C5C1E-8A4E-4C2E-9A43-1C0B4E7D2A10 VPN (app.tarnel.ios) \"Tarnel\"  "
           "[VPN/app.tarnel.ios]\n";
}

AppTaskBody healthMonitor() {
    return [](AppState& state, std::stop_token stop) { return state.monitorTunnelHealth(std::move(stop)); };
}
AppTaskBody leaseMonitor() {
    return [](AppState& state, std::stop_token stop) { return state.maintainProtectionLease(std::move(stop)); };
}
AppTaskBody proxyMonitor() {
    return [](AppState& state, std::stop_token stop) { return state.monitorProxyHealth(std::move(stop)); };
}

class MonitorTest : public testing::AppStateFixture {
protected:
    MonitorTest() {
        route = testing::sampleRoute(RouteTransport::vless);
        route.id = "r1";
        scriptServices();
    }

    // A held sleeper, a helper whose runtime runs and whose lease renews, no
    // other VPN.
    void scriptServices() {
        sleeper = std::make_shared<testing::VirtualSleeper>(clock);
        sleeper->hold();
        helper = std::make_shared<testing::ScriptedHelperClient>();
        helper->onTunnelStatus = [](double) { return std::optional<std::int32_t>(4321); };
        helper->onRenewTunnelProtectionLease = [](double, bool) {};
        networkConnectionList = [] { return std::string(); };
    }
    // The state gone, and the services as at first, for the next case.
    void restart() {
        endState();
        scriptServices();
    }

    // How a health monitor of `mode` left the connection through r1: failed
    // with r1 unavailable and the monitor gone, or connected and watched.
    void expectHealth(ConnectionMode mode, bool failed) {
        const AppState& app = *state;
        EXPECT_EQ(app.tunnelStatus(), failed ? TunnelStatus::failed : TunnelStatus::connected);
        EXPECT_EQ(app.activeMode, mode);
        const RouteAvailabilityMap marked{{"r1", RouteAvailability::unavailable}};
        EXPECT_EQ(app.routeAvailability(), failed ? marked : RouteAvailabilityMap{});
        EXPECT_EQ(static_cast<bool>(app.tunnelHealthMonitor), !failed);
    }

    // Connected through r1 in `mode`.
    AppState& startConnected(ConnectionMode mode) {
        AppState& app = start();
        app.setRoutes({route});
        app.setActiveRouteID("r1");
        app.setTunnelStatus(TunnelStatus::connected);
        app.activeMode = mode;
        return app;
    }

    // Lets the sleep that the monitor has begun end, once it has begun; the
    // monitor's next round then runs up to its next sleep or its end.
    bool nextRound(std::size_t sleepsBegun) {
        if (!runEventsUntil([&] { return sleeper->sleeps().size() == sleepsBegun; })) return false;
        sleeper->wakeAll();
        return true;
    }

    RouteNode route;
};

TEST_F(MonitorTest, TheLeaseIsRenewedEveryTwentySecondsAndOnlyTheThirdFailureInARowFailsTheState) {
    std::mutex mutex;
    std::vector<double> renewals;
    helper->onRenewTunnelProtectionLease = [&](double timeout, bool checkVersion) {
        EXPECT_EQ(timeout, 2.0);
        EXPECT_TRUE(checkVersion);
        std::lock_guard lock(mutex);
        renewals.push_back(clock->uptime());
        if (renewals.size() <= 4) throw PrivilegedHelperClientError(PrivilegedHelperClientError::Case::timedOut);
    };
    AppState& app = startConnected(ConnectionMode::tun);
    const double begin = clock->uptime();
    app.replaceTask(app.protectionLeaseMonitor, leaseMonitor());

    const std::string failed =
        "VPN protection heartbeat failed repeatedly; the safety block will release automatically if contact is "
        "not restored.";
    const struct {
        TunnelStatus status;
        Lines lines;  // new since the renewal before
    } afterRenewal[] = {
        {TunnelStatus::connected, {}},
        {TunnelStatus::connected, {}},
        {TunnelStatus::failed, {failed}},
        {TunnelStatus::failed, {}},
        {TunnelStatus::failed, {"VPN protection heartbeat recovered."}},
    };
    for (std::size_t round = 0; round < std::size(afterRenewal); ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == round + 1; }));
        EXPECT_EQ(app.tunnelStatus(), afterRenewal[round].status);
        EXPECT_EQ(newLogLines(), afterRenewal[round].lines);
        sleeper->wakeAll();
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(std::vector<double>(renewals.begin(), renewals.begin() + 5),
              (std::vector<double>{begin, begin + 20, begin + 40, begin + 60, begin + 80}));
}

TEST_F(MonitorTest, TheLeaseMonitorEndsOnceNoVPNProtectionIsNeeded) {
    for (const auto& [mode, status] : {std::pair{ConnectionMode::proxy, TunnelStatus::connected},
                                      std::pair{ConnectionMode::tun, TunnelStatus::disconnected}}) {
        AppState& app = startConnected(mode);
        app.setTunnelStatus(status);
        app.replaceTask(app.protectionLeaseMonitor, leaseMonitor());
        ASSERT_TRUE(runEventsUntil([&] { return app.protectionLeaseMonitor.isFinished(); }));
        EXPECT_TRUE(helper->calls().empty());
        endState();
    }
}

TEST_F(MonitorTest, TheHealthMonitorWaitsTenSecondsBeforeItsFirstQuestion) {
    AppState& app = startConnected(ConnectionMode::tun);
    app.replaceTask(app.tunnelHealthMonitor, healthMonitor());
    ASSERT_TRUE(runEventsUntil([&] { return !sleeper->sleeps().empty(); }));
    runPostedEvents();
    EXPECT_EQ(sleeper->sleeps(), std::vector<double>{10.0});
    EXPECT_TRUE(helper->calls().empty());
}

TEST_F(MonitorTest, TheHealthMonitorFailsTheTunnelOnlyOnWhatProvesItUnusable) {
    const std::string twoFailed =
        "VPN traffic failed two consecutive health checks (IP route, HTTPS). Status changed to Failed; Disconnect "
        "restores direct internet.";
    const struct Case {
        const char* name;
        std::function<std::optional<std::int32_t>(double)> status;
        std::function<std::string()> list;
        std::vector<Checks> checks;
        std::size_t rounds;
        Lines lines;
        bool fails;
    } cases[] = {
        {"one failed round", nullptr, nullptr, {kDNSFails, kAllPass}, 2,
         {"Traffic health check failed once (DNS); retrying before changing status."}, false},
        {"two failed rounds", nullptr, nullptr, {kIPRouteAndHTTPSFail, kIPRouteAndHTTPSFail}, 2,
         {"Traffic health check failed once (IP route, HTTPS); retrying before changing status.", twoFailed}, true},
        {"failed, passed, failed", nullptr, nullptr, {kDNSFails, kAllPass, kDNSFails}, 3,
         {"Traffic health check failed once (DNS); retrying before changing status.",
          "Traffic health check failed once (DNS); retrying before changing status."},
         false},
        {"no runtime", [](double) { return std::optional<std::int32_t>(); }, nullptr, {}, 1,
         {"VPN process stopped unexpectedly. Status changed to Failed."}, true},
        {"unanswered status",
         [](double) -> std::optional<std::int32_t> {
             throw PrivilegedHelperClientError(PrivilegedHelperClientError::Case::timedOut);
         },
         nullptr, {}, 1, {"VPN process stopped unexpectedly. Status changed to Failed."}, true},
        {"the maker's other VPN", nullptr, makersVPNList, {}, 1,
         {"Another Tarnel VPN connected while Tarnel Direct was active. Status changed to Failed; disconnect one "
          "client."},
         true},
        {"an unreadable list", nullptr,
         []() -> std::string { throw CompetingVPNDetectorError::commandFailed("scutil timed out"); }, {kAllPass}, 1,
         {}, false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        if (row.status) helper->onTunnelStatus = row.status;
        if (row.list) networkConnectionList = row.list;
        std::size_t round = 0;
        healthCheck = [&](double timeout, std::stop_token) {
            EXPECT_EQ(timeout, 4.0);
            return row.checks.at(round++);
        };
        AppState& app = startConnected(ConnectionMode::tun);
        app.replaceTask(app.protectionLeaseMonitor, leaseMonitor());
        app.replaceTask(app.tunnelHealthMonitor, healthMonitor());
        // The lease monitor renews and sleeps first.
        ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 2; }));
        for (std::size_t done = 0; done < row.rounds; ++done) {
            sleeper->wakeAll();
            ASSERT_TRUE(runEventsUntil([&] {
                return !app.tunnelHealthMonitor || sleeper->sleeps().size() == 2 * done + 4;
            }));
        }
        EXPECT_EQ(newLogLines(), row.lines);
        expectHealth(ConnectionMode::tun, row.fails);
        EXPECT_TRUE(app.protectionLeaseMonitor && !app.protectionLeaseMonitor.isFinished());
        restart();
    }
}

TEST_F(MonitorTest, TheHealthMonitorEndsQuietlyWhenTheModeChangesDuringItsChecks) {
    std::promise<void> modeChanged;
    std::atomic<bool> checking = false;
    healthCheck = [&](double, std::stop_token) {
        checking = true;
        modeChanged.get_future().wait();
        return kIPRouteAndHTTPSFail;
    };
    AppState& app = startConnected(ConnectionMode::tun);
    app.replaceTask(app.tunnelHealthMonitor, healthMonitor());
    ASSERT_TRUE(nextRound(1));
    ASSERT_TRUE(runEventsUntil([&] { return checking.load(); }));
    app.activeMode = ConnectionMode::proxy;
    modeChanged.set_value();
    ASSERT_TRUE(runEventsUntil([&] { return app.tunnelHealthMonitor.isFinished(); }));
    EXPECT_TRUE(newLogLines().empty());
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connected);
    EXPECT_TRUE(app.routeAvailability().empty());
}

TEST_F(MonitorTest, TheProxyMonitorFailsAStoppedRuntimeOrTwoFailedChecksInARow) {
    const struct Case {
        const char* name;
        bool exited;
        std::vector<bool> probes;
        Lines lines;
        bool fails;
    } cases[] = {
        {"the runtime stopped", true, {}, {"Proxy process stopped unexpectedly. Status changed to Failed."}, true},
        {"failed, passed", false, {false, true},
         {"Proxy traffic check failed once; retrying before changing status."}, false},
        {"failed twice", false, {false, false},
         {"Proxy traffic check failed once; retrying before changing status.",
          "Proxy traffic failed two consecutive checks. Status changed to Failed; Disconnect restores direct "
          "internet."},
         true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        proxyRuntime = std::make_shared<testing::ScriptedProxyProcess>(clock);
        std::size_t probe = 0;
        proxyRuntime->onProbe = [&] { return row.probes.at(probe++); };
        AppState& app = startConnected(ConnectionMode::proxy);
        app.proxyProcess->start("proxy-config.json");
        if (row.exited) proxyRuntime->exit();
        app.replaceTask(app.tunnelHealthMonitor, proxyMonitor());
        const std::size_t rounds = row.exited ? 1 : row.probes.size();
        for (std::size_t done = 0; done < rounds; ++done) {
            ASSERT_TRUE(nextRound(done + 1));
            ASSERT_TRUE(runEventsUntil([&] { return !app.tunnelHealthMonitor || sleeper->sleeps().size() == done + 2; }));
        }
        EXPECT_EQ(newLogLines(), row.lines);
        expectHealth(ConnectionMode::proxy, row.fails);
        EXPECT_TRUE(helper->calls().empty());
        restart();
    }
}

TEST_F(MonitorTest, AMonitorWhoseStateIsGoneCallsNothingMore) {
    // Asleep: the wake finds the state gone.
    AppState& app = startConnected(ConnectionMode::tun);
    app.replaceTask(app.protectionLeaseMonitor, leaseMonitor());
    ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 1; }));
    state.reset();
    sleeper->wakeAll();
    runPostedEvents();
    EXPECT_EQ(helper->calls().size(), 1U);

    // Renewing: the answer comes after the state is gone.
    std::promise<void> release;
    std::atomic<int> renewals = 0;
    std::atomic<bool> returned = false;
    helper->onRenewTunnelProtectionLease = [&](double, bool) {
        if (++renewals == 1) release.get_future().wait();
        returned = true;
    };
    AppState& renewing = startConnected(ConnectionMode::tun);
    renewing.replaceTask(renewing.protectionLeaseMonitor, leaseMonitor());
    ASSERT_TRUE(runEventsUntil([&] { return renewals.load() == 1; }));
    state.reset();
    release.set_value();
    ASSERT_TRUE(runEventsUntil([&] { return returned.load(); }));
    runPostedEvents();
    sleeper->wakeAll();
    runPostedEvents();
    EXPECT_EQ(renewals.load(), 1);
    EXPECT_EQ(sleeper->sleeps().size(), 1U);
}

}  // namespace
}  // namespace tarnel
