#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/process/cancellation_error.hpp"
#include "tests/state/app_state_fixture.hpp"
#include "tests/tunnel/netstat_standin.hpp"
#include "tests/tunnel/sample_routes.hpp"

// "Test all" in virtual time over the real Connect, with the connection plan
// played by the test: each step's plan passes its traffic gate, fails it, or
// never ends (its attempt stays connecting).

namespace tarnel {
namespace {

using testing::runEventsUntil;
using testing::runPostedEvents;
using Lines = std::vector<std::string>;
using ClientCase = PrivilegedHelperClientError::Case;

constexpr const char* kTesting = "Testing 3 routes with the normal connection gate.";
constexpr const char* kTimeout = "Route test stopped because the current attempt exceeded its bounded timeout.";
constexpr const char* kNoGate = "Route test stopped because the current route did not reach its traffic gate.";
constexpr const char* kUnsafe = "Route test stopped because the VPN could not enter a safe inter-route state.";

// What a step's plan does with its gate.
enum class Gate { pass, fail, never };

class RouteTestingTest : public testing::AppStateFixture {
protected:
    RouteTestingTest() {
        for (const auto& [id, transport] : {std::pair{"r1", RouteTransport::vless},
                                           std::pair{"r2", RouteTransport::hysteria2},
                                           std::pair{"r3", RouteTransport::anyTLS}}) {
            RouteNode route = testing::sampleRoute(transport);
            route.id = id;
            route.nodeCode = "RO";
            routes.push_back(route);
        }
        // Sleeps of 10 s and more (the monitors') stay parked: only the
        // test's own pauses and polls move the clock.
        sleeper->park(10.0);
        helper->onTunnelStatus = [](double) { return std::optional<std::int32_t>(); };
        helper->onTunnelProtectionStatus = [](double) { return false; };
        helper->onVersionCheckedBooleanRequest = [](const PrivilegedHelperOperations::Work&, double) { return true; };
        helper->onBooleanRequest = [](const PrivilegedHelperOperations::Work&, double, bool) {};
        helper->onDisconnectTunnel = [](double, bool) {};
        helper->onRenewTunnelProtectionLease = [](double, bool) {};
        snapshot = [this](const Uuid&, double deadline, std::stop_token) {
            snapshotDeadlines.push_back(deadline - clock->uptime());
            return std::optional<std::string>();
        };
        connectionPlan = [this](AppState& app, ConnectionPlanRequest request, std::stop_token) {
            return play(app, std::move(request));
        };
    }

    AppState& startWithRoutes() {
        AppState& app = start();
        app.setRoutes(routes);
        app.setSelectedRouteID("r1");
        newLogLines();
        return app;
    }

    // The step's plan: the gate's verdict as the runner writes it.
    QCoro::Task<> play(AppState& app, ConnectionPlanRequest request) {
        const std::string id = request.candidates.at(0).id;
        steps.push_back({request, app.routeTestProgress(), app.protectionLeaseMonitor.isSet()});
        auto& script = gates[id];
        const Gate gate = script.empty() ? Gate::pass : script.front();
        if (!script.empty()) script.erase(script.begin());
        if (gate == Gate::pass) {
            app.setRouteAvailability(RouteAvailability::available, id);
            app.setTunnelStatus(TunnelStatus::connected);
            app.setActiveRouteID(id);
        } else if (gate == Gate::fail) {
            app.setRouteAvailability(RouteAvailability::unavailable, id);
            app.failConnection(request.attemptID, false, "Plan failed on " + id + ".");
        }
        co_return;
    }

    // The route test's own lines.
    [[nodiscard]] Lines testLines() {
        Lines lines;
        for (auto& line : newLogLines()) {
            if (line.starts_with("Route ") || line.starts_with("Testing ") || line.starts_with("Waiting ") ||
                line.starts_with("Retrying ")) {
                lines.push_back(std::move(line));
            }
        }
        return lines;
    }
    [[nodiscard]] bool testEnded() {
        return runEventsUntil([&] { return !state->routeTestSessionID; });
    }
    [[nodiscard]] std::uint64_t generation(const std::string& id) const {
        const auto found = state->routeAvailabilityGeneration.find(id);
        return found == state->routeAvailabilityGeneration.end() ? 0 : found->second;
    }
    [[nodiscard]] std::optional<RouteAvailability> availability(const std::string& id) const {
        const auto found = state->routeAvailability().find(id);
        if (found == state->routeAvailability().end()) return std::nullopt;
        return found->second;
    }

    struct Step {
        ConnectionPlanRequest request;
        std::optional<RouteTestProgress> progress;
        bool leaseRenewing = false;
    };
    std::vector<RouteNode> routes;
    std::map<std::string, std::vector<Gate>> gates;
    std::vector<Step> steps;
    std::vector<double> snapshotDeadlines;
    testing::NetstatStandIn netstat;
};

TEST_F(RouteTestingTest, NoTestStartsOutsideADisconnectedVPNOrBesideTheMakersOtherVPN) {
    const std::string makersVPN =
        "* (Connected)      6F1C5C1E-8A4E-4C2E-9A43-1C0B4E7D2A10 VPN (app.tarnel.ios) \"Tarnel\"  [VPN/app.tarnel.ios]\n";
    const struct {
        const char* what;
        ConnectionMode mode;
        std::string connections;
        std::string line;
    } cases[] = {
        {"proxy mode", ConnectionMode::proxy, "",
         "Route test unavailable: disconnect the VPN and select VPN mode first."},
        {"the maker's VPN", ConnectionMode::tun, makersVPN,
         "Tarnel из TestFlight или App Store уже подключена. Отключите её перед запуском Tarnel Direct."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        networkConnectionList = [list = c.connections] { return list; };
        AppState& app = startWithRoutes();
        app.setConnectionMode(c.mode);
        app.testAllRoutes();
        runPostedEvents();
        EXPECT_EQ(newLogLines(), Lines{c.line});
        EXPECT_EQ(app.routeTestSessionID, std::nullopt);
        EXPECT_EQ(app.latestRouteTestSessionID, std::nullopt);
        EXPECT_EQ(app.routeTestProgress(), std::nullopt);
        EXPECT_TRUE(steps.empty());
        state.reset();
    }
}

TEST_F(RouteTestingTest, EveryRouteIsConnectedAloneInTurnAndTheSummaryCountsThem) {
    AppState& app = startWithRoutes();
    app.testAllRoutes();
    const Uuid session = *app.routeTestSessionID;
    EXPECT_EQ(app.routeTestProgress(), (RouteTestProgress{0, 3, std::nullopt}));
    ASSERT_TRUE(testEnded());

    EXPECT_EQ(testLines(), (Lines{kTesting, "Route test completed: 3 available, 0 slow, 0 unavailable, 0 not tested."}));
    ASSERT_EQ(steps.size(), 3u);
    for (int index = 0; index < 3; ++index) {
        const Step& step = steps[static_cast<std::size_t>(index)];
        const std::string id = routes[static_cast<std::size_t>(index)].id;
        SCOPED_TRACE(id);
        EXPECT_EQ(step.progress, (RouteTestProgress{index, 3, id}));
        EXPECT_EQ(step.request.candidates, std::vector<RouteNode>{routes[static_cast<std::size_t>(index)]});
        EXPECT_EQ(step.request.options.timeBudget, 20.0);
        EXPECT_EQ(step.request.options.routeTestSessionID, session);
        EXPECT_FALSE(step.request.options.persistsSuccessfulRoute);
        EXPECT_TRUE(step.request.options.keepsProtectionOnExhaustion);
        EXPECT_FALSE(step.request.options.diagnosticSelectedRouteOnly);
        EXPECT_EQ(availability(id), RouteAvailability::available);
    }
    EXPECT_NE(steps[0].request.attemptID, steps[1].request.attemptID);
    // One compatibility snapshot for the whole test, due 12 s after it began.
    EXPECT_EQ(snapshotDeadlines, std::vector<double>{12.0});
    EXPECT_EQ(app.routeTestProgress(), std::nullopt);
    EXPECT_EQ(app.latestRouteTestSessionID, session);
    EXPECT_EQ(app.routeTestCompatibility.sessionID(), std::nullopt);
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
    EXPECT_EQ(app.selectedRouteID(), "r1");
}

TEST_F(RouteTestingTest, ARouteThatFailsTheNormalGateIsRetriedWithTheExtendedOneAfterAPause) {
    const struct {
        const char* what;
        Gate retry;
        RouteAvailability recorded;
        Lines tail;
    } cases[] = {
        {"slow", Gate::pass, RouteAvailability::slow,
         {"Route passed only the extended reachability gate: Romania · Hysteria2.",
          "Route test completed: 2 available, 1 slow, 0 unavailable, 0 not tested."}},
        {"unavailable", Gate::fail, RouteAvailability::unavailable,
         {"Route test completed: 2 available, 0 slow, 1 unavailable, 0 not tested."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gates = {{"r2", {Gate::fail, c.retry}}};
        steps.clear();
        AppState& app = startWithRoutes();
        ASSERT_EQ(routes[1].displayTitle(), "Romania · Hysteria2");
        app.testAllRoutes();
        ASSERT_TRUE(testEnded());
        Lines expected{kTesting, "Waiting for network cleanup before retrying Romania · Hysteria2.",
                       "Retrying Romania · Hysteria2 with the extended reachability gate."};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(testLines(), expected);
        EXPECT_EQ(availability("r2"), c.recorded);
        ASSERT_EQ(steps.size(), 4u);
        EXPECT_TRUE(steps[2].request.options.diagnosticSelectedRouteOnly);
        EXPECT_EQ(steps[2].request.candidates.at(0).id, "r2");
        EXPECT_NE(std::find(sleeper->sleeps().begin(), sleeper->sleeps().end(), 2.0), sleeper->sleeps().end());
        state.reset();
    }
}

TEST_F(RouteTestingTest, AnAttemptThatNeverEndsStopsTheTestAfterItsBoundedWait) {
    for (const std::optional<RouteAvailability> before : {std::optional(RouteAvailability::slow),
                                                          std::optional<RouteAvailability>()}) {
        SCOPED_TRACE(before ? "slow before" : "untested before");
        gates = {{"r2", {Gate::never}}};
        AppState& app = startWithRoutes();
        if (before) app.setRouteAvailability(*before, "r2");
        const std::uint64_t generationBefore = generation("r2");
        app.testAllRoutes();
        ASSERT_TRUE(runEventsUntil([&] { return steps.size() == 2; }));
        const double stepStart = clock->uptime();
        ASSERT_TRUE(testEnded());
        // The step's first poll had moved the clock on before its plan ran.
        EXPECT_NEAR(clock->uptime() - stepStart, 92.0 - 0.1, 0.05);
        EXPECT_EQ(testLines(), (Lines{kTesting, kTimeout}));
        EXPECT_EQ(availability("r2"), before);
        EXPECT_EQ(generation("r2"), generationBefore);
        EXPECT_EQ(availability("r3"), std::nullopt);
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
        steps.clear();
        state.reset();
    }
}

TEST_F(RouteTestingTest, APreflightOrHelperFailureEndsTheTestWithoutMarkingARoute) {
    const struct {
        const char* what;
        std::function<void()> script;
        std::string line;
        std::size_t steps;
    } cases[] = {
        {"the Tailscale exit node",
         [this] {
             helper->onTunnelStatus = [](double) { return std::optional<std::int32_t>(); };
             snapshot = [](const Uuid&, double, std::stop_token) -> std::optional<std::string> {
                 throw TailscaleCompatibilityError(TailscaleCompatibilityError::Case::exitNodeUnsupported);
             };
         },
         "Route test stopped during compatibility preflight: Disconnect the Tailscale exit node before starting "
         "Tarnel Direct.",
         0},
        {"a status query that times out",
         [this] {
             snapshot = [](const Uuid&, double, std::stop_token) { return std::optional<std::string>(); };
             helper->onTunnelStatus = [](double) -> std::optional<std::int32_t> {
                 throw PrivilegedHelperClientError(ClientCase::timedOut);
             };
         },
         kNoGate, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.script();
        AppState& app = startWithRoutes();
        app.testAllRoutes();
        ASSERT_TRUE(testEnded());
        EXPECT_EQ(testLines(), (Lines{kTesting, c.line}));
        EXPECT_EQ(steps.size(), c.steps);
        EXPECT_TRUE(app.routeAvailability().empty());
        EXPECT_TRUE(app.routeAvailabilityGeneration.empty());
        EXPECT_EQ(app.routeTestCompatibility.sessionID(), std::nullopt);
        state.reset();
    }
}

TEST_F(RouteTestingTest, BetweenRoutesTheTunnelIsStoppedAndProtectionVerified) {
    const auto timedOut = [] { return PrivilegedHelperClientError(ClientCase::timedOut); };
    // The stop of r1's attempt fails.
    helper->onVersionCheckedBooleanRequest = [](const PrivilegedHelperOperations::Work&, double) { return false; };
    AppState& app = startWithRoutes();
    app.testAllRoutes();
    ASSERT_TRUE(testEnded());
    EXPECT_EQ(testLines(), (Lines{kTesting, kUnsafe}));
    EXPECT_EQ(availability("r1"), std::nullopt);
    state.reset();
    steps.clear();

    // Protection stays active after r1: connecting, the lease renewed, and
    // r2's Connect a protected replacement; r2's protection query fails.
    helper->onVersionCheckedBooleanRequest = [](const PrivilegedHelperOperations::Work&, double) { return true; };
    int protectionQueries = 0;
    helper->onTunnelProtectionStatus = [&](double) {
        ++protectionQueries;
        if (protectionQueries == 4) throw timedOut();
        return protectionQueries >= 2;
    };
    AppState& protectedApp = startWithRoutes();
    // The state at each change of the status: status, mode, attempt, lease.
    std::vector<std::string> statuses;
    QObject::connect(&protectedApp, &AppState::tunnelStatusChanged, [&] {
        statuses.push_back(std::to_string(static_cast<int>(protectedApp.tunnelStatus())) + " " +
                           (protectedApp.activeMode == ConnectionMode::tun ? "tun" : "-") + " " +
                           (protectedApp.connectionAttemptID ? "attempt" : "-") + " " +
                           (protectedApp.protectionLeaseMonitor ? "lease" : "-"));
    });
    protectedApp.testAllRoutes();
    ASSERT_TRUE(testEnded());
    // After r1: connecting in VPN mode without an attempt; r2's Connect
    // finds the lease renewed.
    const std::string between = std::to_string(static_cast<int>(TunnelStatus::connecting)) + " tun - -";
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), between), statuses.end());
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_TRUE(steps[1].request.options.switchingFromActiveRoute);
    EXPECT_TRUE(steps[1].leaseRenewing);
    const Lines all = newLogLines();
    EXPECT_NE(std::find(all.begin(), all.end(),
                        "Found an existing privileged VPN runtime; treating this Connect as a protected replacement."),
              all.end());
    Lines lines;
    for (const auto& line : all) {
        if (line.starts_with("Route ")) lines.push_back(line);
    }
    EXPECT_EQ(lines, (Lines{"Route test stopped because VPN protection state could not be verified: The privileged "
                            "helper did not respond in time.",
                            kUnsafe}));
    EXPECT_EQ(availability("r1"), RouteAvailability::available);
    EXPECT_EQ(availability("r2"), std::nullopt);
}

TEST_F(RouteTestingTest, AFinalCleanupThatFailsEndsTheTestWithoutASummary) {
    helper->onDisconnectTunnel = [](double, bool) { throw PrivilegedHelperClientError::helperRejected("PF busy"); };
    AppState& app = startWithRoutes();
    app.testAllRoutes();
    ASSERT_TRUE(testEnded());
    const Lines all = newLogLines();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(Lines(all.end() - 2, all.end()),
              (Lines{"Disconnect failed: PF busy", "Route test stopped because the final VPN cleanup failed."}));
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
}

TEST_F(RouteTestingTest, AStopMidRouteRestoresThatRouteAndWritesOneClosingLine) {
    const struct {
        const char* what;
        void (AppState::*stop)();
        Lines lines;
    } cases[] = {
        {"the window's stop", &AppState::stopRouteTest, {"Stopped TUN sing-box process.", "Route test stopped."}},
        {"Disconnect", &AppState::disconnect, {"Route test stopped.", "Stopped TUN sing-box process."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gates = {{"r2", {Gate::never}}};
        steps.clear();
        sleeper = std::make_shared<testing::VirtualSleeper>(clock);
        sleeper->park(10.0);
        AppState& app = startWithRoutes();
        app.setRouteAvailability(RouteAvailability::slow, "r2");
        app.testAllRoutes();
        ASSERT_TRUE(runEventsUntil([&] { return steps.size() == 2; }));
        // r2's attempt is being waited for.
        sleeper->hold();
        const std::size_t sleeps = sleeper->sleeps().size();
        ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() > sleeps; }));
        newLogLines();
        // r2's gate wrote a verdict before the stop came.
        app.setRouteAvailability(RouteAvailability::unavailable, "r2");
        const std::uint64_t generationBefore = generation("r2");
        (app.*c.stop)();
        EXPECT_EQ(newLogLines(), c.lines);
        ASSERT_TRUE(runEventsUntil([&] { return availability("r2") == RouteAvailability::slow; }));
        sleeper->wakeAll();
        runPostedEvents();
        EXPECT_EQ(newLogLines(), Lines{});
        EXPECT_EQ(generation("r2"), generationBefore);
        EXPECT_EQ(availability("r3"), std::nullopt);
        EXPECT_EQ(steps.size(), 2u);
        state.reset();
    }
}

}  // namespace
}  // namespace tarnel
