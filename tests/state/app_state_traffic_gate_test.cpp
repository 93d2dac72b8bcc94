#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/state/connection_plan_fixture.hpp"

// The traffic gate of a started candidate: the windows it gives the checks
// before its route deadline and in the grace after it, and its lines.

namespace tarnel {
namespace {

using testing::kAttempt;
using Gate = AppState::TrafficGateResult;

class TrafficGateTest : public testing::ConnectionPlanFixture {
protected:
    TrafficGateTest() { start(); }
};

TEST_F(TrafficGateTest, TheChecksRunInsideTheDeadlineAndOneBoundedGrace) {
    struct Row {
        const char* name;
        double deadlineAhead;  // the route deadline less the uptime when the helper was ready
        bool diagnostic;
        std::vector<testing::ScriptedProbe::Run> runs;
        std::vector<double> windows;
        std::vector<std::string> lines;  // after the ready line, with T for the route's title
        Gate result;
    };
    const std::string failedIn2 = "IP=fail/2.000s, DNS=fail/2.000s, HTTPS=fail/2.000s, total=2.000s.";
    const std::string failedIn1 = "IP=fail/1.000s, DNS=fail/1.000s, HTTPS=fail/1.000s, total=1.000s.";
    const std::string allFailed = "Route failed independent traffic checks: IP route, DNS, HTTPS.";
    const std::string progress = "Tunnel startup made progress; allowing one bounded grace check.";
    const std::vector<Row> rows{
        {"ready at the deadline", 0.0, false, {{{}, 2.0}, {{}, 2.0}}, {5.0, 3.0},
         {"Tunnel helper is ready; using the bounded startup grace window.", "Tunnel health grace for T: " + failedIn2,
          progress, "Tunnel health grace for T: " + failedIn2, allFailed},
         Gate::failed},
        {"ready after the grace", -6.0, false, {}, {},
         {"Tunnel health initial for T: IP=fail/0.000s, DNS=fail/0.000s, HTTPS=fail/0.000s, total=0.000s.",
          allFailed},
         Gate::failed},
        {"ready before the deadline", 3.0, false, {{{}, 1.0}, {{}, 1.0}}, {3.0, 5.0},
         {"Tunnel health initial for T: " + failedIn1, progress, "Tunnel health grace for T: " + failedIn1, allFailed},
         Gate::failed},
        {"diagnostic", 3.0, true, {{{true, true, false}, 1.0}}, {30.0},
         {"Tunnel health initial for T: IP=pass/1.000s, DNS=pass/1.000s, HTTPS=fail/1.000s, total=1.000s.",
          "Route failed independent traffic checks: HTTPS."},
         Gate::failed},
        {"passing", 8.0, false, {{{true, true, true}, 0.25}}, {5.0},
         {"Tunnel health initial for T: IP=pass/0.250s, DNS=pass/0.250s, HTTPS=pass/0.250s, total=0.250s."},
         Gate::passed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        probe = std::make_shared<testing::ScriptedProbe>(clock);
        state.reset();
        healthCheck = [scripted = probe](double window, std::stop_token stop) { return scripted->run(window, stop); };
        AppState& app = start();
        app.connectionAttemptID = kAttempt;
        probe->script(row.runs);
        const RouteNode candidate = testing::trojanRoute(row.name, "RO");
        const double candidateStart = clock->uptime();
        clock->advance(1.5);
        const double routeDeadline = clock->uptime() + row.deadlineAhead;

        const Gate result = awaitTask([&](AppState& owner, std::stop_token stop) {
            return owner.runTrafficGate(candidate, kAttempt, routeDeadline, candidateStart, row.diagnostic, stop);
        });
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(probe->windows(), row.windows);
        std::vector<std::string> expected{"Tunnel helper ready for " + candidate.displayTitle() + " in 1.500s."};
        for (std::string line : row.lines) {
            if (const auto at = line.find(" T: "); at != std::string::npos) line.replace(at + 1, 1, candidate.displayTitle());
            expected.push_back(line);
        }
        EXPECT_EQ(logLines(), expected);
        EXPECT_TRUE(app.protectionLeaseMonitor.isSet());
        if (row.result == Gate::failed) {
            EXPECT_EQ(app.routeAvailability().at(candidate.id), RouteAvailability::unavailable);
            EXPECT_EQ(app.routeAvailabilityGeneration.at(candidate.id), 1U);
        } else {
            EXPECT_TRUE(app.routeAvailability().empty());
        }
        // The gate leaves the connection's own state to the runner.
        EXPECT_EQ(app.connectionAttemptID, kAttempt);
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
    }
}

}  // namespace
}  // namespace tarnel
