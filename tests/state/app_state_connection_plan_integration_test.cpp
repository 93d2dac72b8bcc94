#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <mutex>
#include <string>
#include <vector>

#include "app/tunnel/sing_box_config.hpp"
#include "common/base/log.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "tests/state/connection_plan_fixture.hpp"

// The failover plan runner over the scripted helper, the scripted traffic
// checks and the netstat stand-in: which candidates it starts, the lines it
// writes and the state it leaves. Virtual time from uptime 100.0.

namespace tarnel {
namespace {

using testing::kAttempt;
using testing::runEventsUntil;
using testing::trojanRoute;
using Case = PrivilegedHelperClientError::Case;
using Options = AppState::ConnectionPlanOptions;

const std::string kToken = "0B5E5A53-7C9E-4D52-8E2B-5F0A3C1D2E4F";
const std::string kNoPermittedRoute = "No permitted route passed the IP, DNS, and HTTPS connection gate.";
const std::string kRestored = "Direct internet was restored after the connection plan was exhausted.";
const std::string kStop = "performVersionCheckedBooleanRequest";

// One start the helper was asked for.
struct Start {
    std::string configuration;
    std::optional<std::string> payload;
    std::string token;
    Uuid attempt;
    double deadline = 0.0;
    bool fileLeft = false;  // the attempt's configuration file was still there
};

class ConnectionPlanTest : public testing::ConnectionPlanFixture {
protected:
    ConnectionPlanTest() { scriptHelper(); }

    // A helper that prepares, starts every tunnel (as the start script
    // says), stops this attempt's tunnel, disconnects, and reports no
    // process and no protection.
    void scriptHelper() {
        helper->onPrepareRuntime = [](const Uuid&, double) { return kToken; };
        helper->onStartTunnel = [this](const std::string& configuration, const std::optional<std::string>& payload,
                                       const std::string& token, const Uuid& attempt, double deadline) {
            std::size_t index = 0;
            {
                std::lock_guard lock(mutex_);
                index = starts_.size();
                starts_.push_back({configuration, payload, token, attempt, deadline, std::filesystem::exists(file())});
            }
            if (index < startScript.size() && startScript[index]) startScript[index]();
            return PrivilegedTunnelStartResult{4242, deadline};
        };
        helper->onVersionCheckedBooleanRequest = [](const ipc::Request& work, double) {
            if (work != PrivilegedHelperClient::requestStopTunnelForAttempt(kAttempt)) throw std::logic_error("work");
            return true;
        };
        helper->onDisconnectTunnel = [](double, bool) {};
        helper->onTunnelStatus = [](double) { return std::optional<std::int32_t>(); };
        helper->onTunnelProtectionStatus = [](double) { return false; };
        failoverPauseJitter = [] { return 0; };
    }
    // A fresh state over a fresh helper, scripted as at first.
    void restart() {
        state.reset();
        helper = std::make_shared<testing::ScriptedHelperClient>();
        scriptHelper();
        startScript.clear();
        {
            std::lock_guard lock(mutex_);
            starts_.clear();
        }
        probe->script({});
        clock->setUptime(100.0);
    }

    [[nodiscard]] std::filesystem::path file() const {
        return netstat.folder() / "tun-config-3F2504E0-4F89-11D3-9A0C-0305E82C3301.json";
    }
    [[nodiscard]] std::vector<Start> starts() const {
        std::lock_guard lock(mutex_);
        return starts_;
    }
    // What the nth start does before it answers: throw, or wait.
    static std::function<void()> rejecting(std::string message) {
        return [message] { throw PrivilegedHelperClientError::helperRejected(message); };
    }

    // The lines of a candidate whose every check fails at once, twice.
    static std::vector<std::string> gateFailure(const RouteNode& route) {
        const std::string title = route.displayTitle();
        const std::string checks = ": IP=fail/0.000s, DNS=fail/0.000s, HTTPS=fail/0.000s, total=0.000s.";
        return {"Tunnel helper ready for " + title + " in 0.000s.", "Tunnel health initial for " + title + checks,
                "Tunnel startup made progress; allowing one bounded grace check.",
                "Tunnel health grace for " + title + checks,
                "Route failed independent traffic checks: IP route, DNS, HTTPS."};
    }
    static std::vector<std::string> gatePass(const RouteNode& route) {
        return {"Tunnel helper ready for " + route.displayTitle() + " in 0.000s.",
                "Tunnel health initial for " + route.displayTitle() +
                    ": IP=pass/0.000s, DNS=pass/0.000s, HTTPS=pass/0.000s, total=0.000s."};
    }
    static std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
        std::vector<std::string> lines;
        for (const auto& part : parts) lines.insert(lines.end(), part.begin(), part.end());
        return lines;
    }

    std::vector<std::function<void()>> startScript;

private:
    mutable std::mutex mutex_;
    std::vector<Start> starts_;
};

TEST_F(ConnectionPlanTest, TriesEveryCandidateThenReleasesProtectionWhenNonePasses) {
    const RouteNode a = trojanRoute("a", "RO");
    const RouteNode b = trojanRoute("b", "RO");
    const RouteNode c = trojanRoute("c", "EE");
    for (const int jitter : {0, 400}) {
        SCOPED_TRACE(jitter);
        state.reset();
        failoverPauseJitter = [jitter] { return jitter; };
        clock->setUptime(100.0);
        AppState& app = start();
        const std::size_t sleepsBefore = sleeper->sleeps().size();
        const std::size_t startsBefore = starts().size();
        const std::size_t callsBefore = helperOperations().size();
        playConnect({a, b, c});
        ASSERT_TRUE(runnerEnded());

        EXPECT_EQ(logLines(), concat({{"Privileged tunnel runtime prepared in 0.000s."},
                                      gateFailure(a),
                                      {"Trying fallback 2 of 3: " + b.displayTitle()},
                                      gateFailure(b),
                                      {"Trying fallback 3 of 3: " + c.displayTitle()},
                                      gateFailure(c),
                                      {kRestored, kNoPermittedRoute}}));
        // One pause, before the candidate on another node: it moves c's deadline.
        const double pause = (100 + jitter) / 1000.0;
        EXPECT_EQ(std::vector<double>(sleeper->sleeps().begin() + static_cast<std::ptrdiff_t>(sleepsBefore),
                                      sleeper->sleeps().end()),
                  std::vector<double>{pause});
        std::vector<double> deadlines;
        for (std::size_t index = startsBefore; index < starts().size(); ++index) deadlines.push_back(starts()[index].deadline);
        EXPECT_EQ(deadlines, (std::vector<double>{112.0, 112.0, 112.0 + pause}));
        std::vector<std::string> operations = helperOperations();
        operations.erase(operations.begin(), operations.begin() + static_cast<std::ptrdiff_t>(callsBefore));
        EXPECT_EQ(operations, (std::vector<std::string>{"prepareRuntime", "startTunnel", kStop, "startTunnel", kStop,
                                                        "startTunnel", kStop, kStop, "disconnectTunnel"}));
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
        EXPECT_EQ(app.activeMode, std::nullopt);
        EXPECT_EQ(app.connectionAttemptID, std::nullopt);
        EXPECT_FALSE(app.connectionTask.isSet());
        EXPECT_FALSE(app.protectionLeaseMonitor.isSet());
        EXPECT_EQ(app.routeAvailability(), (RouteAvailabilityMap{{"a", RouteAvailability::unavailable},
                                                                 {"b", RouteAvailability::unavailable},
                                                                 {"c", RouteAvailability::unavailable}}));
    }
}

TEST_F(ConnectionPlanTest, PreparesTheRuntimeOnceAndStartsTheValidatedConfiguration) {
    helper->onPrepareRuntime = [this](const Uuid&, double) {
        clock->advance(0.25);
        return kToken;
    };
    snapshot = [](const Uuid&, double, std::stop_token) { return std::optional<std::string>("payload"); };
    AppState& app = start();
    const RouteNode route = trojanRoute("a", "RO");
    probe->script({kPass});
    playConnect({route});
    ASSERT_TRUE(runnerEnded());

    EXPECT_EQ(logLines(), concat({{"Privileged tunnel runtime prepared in 0.250s."},
                                  gatePass(route),
                                  {"Connected through " + route.diagnosticDescription() +
                                   " after IP, DNS, and HTTPS checks."}}));
    EXPECT_EQ(helper->calls().front().operation, "prepareRuntime");
    EXPECT_EQ(helper->calls().front().timeout, 145.0);
    ASSERT_EQ(starts().size(), 1U);
    const Start started = starts().front();
    EXPECT_EQ(started.configuration, SingBoxConfig::tunnelConfiguration(route, "en0"));
    EXPECT_EQ(started.payload, "payload");
    EXPECT_EQ(started.token, kToken);
    EXPECT_EQ(started.attempt, kAttempt);
    EXPECT_EQ(started.deadline, 112.25);
    EXPECT_FALSE(started.fileLeft);
    EXPECT_FALSE(std::filesystem::exists(file()));
    EXPECT_EQ(probe->windows(), std::vector<double>{5.0});
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connected);
}

TEST_F(ConnectionPlanTest, AConfigurationTheValidatorRefusesIsACandidateFailureWithoutAStart) {
    netstat.printing("default 10.0.0.1 UGSc enp3s0\n");
    AppState& app = start();
    const RouteNode a = trojanRoute("a", "RO");
    const RouteNode b = trojanRoute("b", "RO");
    playConnect({a, b});
    ASSERT_TRUE(runnerEnded());

    const std::string reason = ": Privileged tunnel configuration rejected: default interface is not permitted.";
    EXPECT_EQ(logLines(), (std::vector<std::string>{"Privileged tunnel runtime prepared in 0.000s.",
                                                    "Route attempt failed for " + a.displayTitle() + reason,
                                                    "Trying fallback 2 of 2: " + b.displayTitle(),
                                                    "Route attempt failed for " + b.displayTitle() + reason, kRestored,
                                                    kNoPermittedRoute}));
    EXPECT_EQ(helperOperations(), (std::vector<std::string>{"prepareRuntime", kStop, "disconnectTunnel"}));
    EXPECT_EQ(app.routeAvailabilityGeneration, (std::map<std::string, std::uint64_t, std::less<>>{{"a", 1}, {"b", 1}}));
    EXPECT_TRUE(std::filesystem::is_empty(netstat.folder()));
}

TEST_F(ConnectionPlanTest, ARejectedStartMovesToTheNextCandidateAtOnceAndEveryStageIsTimed) {
    AppState& app = start();
    const RouteNode a = trojanRoute("a", "RO");
    const RouteNode b = trojanRoute("b", "RO");
    startScript = {rejecting("The tunnel runtime exited during startup.")};
    probe->script({kPass});
    const ScopedLogCapture capture;
    playConnect({a, b});
    ASSERT_TRUE(runnerEnded());

    EXPECT_EQ(logLines(),
              concat({{"Privileged tunnel runtime prepared in 0.000s.",
                       "Route attempt failed for " + a.displayTitle() + ": The tunnel runtime exited during startup.",
                       "Trying fallback 2 of 2: " + b.displayTitle()},
                      gatePass(b),
                      {"Connected through " + b.diagnosticDescription() + " after IP, DNS, and HTTPS checks."}}));
    EXPECT_TRUE(sleeper->sleeps().empty());
    EXPECT_EQ(app.routeAvailability(), (RouteAvailabilityMap{{"a", RouteAvailability::unavailable},
                                                             {"b", RouteAvailability::available}}));

    const std::string stage = "startup_stage component=application stage=";
    const std::string numbers = " attempt=3F2504E0 stage_ms=0 remaining_ms=12000";
    std::vector<std::string> timing;
    for (const LogEntry& entry : capture.entries()) {
        if (entry.category == "timing") timing.push_back(entry.text);
    }
    EXPECT_EQ(timing, (std::vector<std::string>{
                          stage + "application_runtime_preparation outcome=started attempt=3F2504E0 stage_ms=0 "
                                  "remaining_ms=45000",
                          stage + "application_runtime_preparation outcome=completed attempt=3F2504E0 stage_ms=0 "
                                  "remaining_ms=45000",
                          stage + "application_configuration outcome=started" + numbers,
                          stage + "application_configuration outcome=completed" + numbers,
                          stage + "helper_round_trip outcome=started" + numbers,
                          stage + "helper_round_trip outcome=failed" + numbers +
                              " error_type=TarnelDirect.PrivilegedHelperClientError",
                          stage + "application_configuration outcome=started" + numbers,
                          stage + "application_configuration outcome=completed" + numbers,
                          stage + "helper_round_trip outcome=started" + numbers,
                          stage + "helper_round_trip outcome=completed" + numbers,
                      }));
}

TEST_F(ConnectionPlanTest, AnErrorThatIsNoCandidateFailureStopsTheAttemptAfterReconcilingIt) {
    struct Row {
        const char* name;
        std::function<void(Options&)> inject;
        std::string line;
        std::vector<std::string> operations;
    };
    const std::vector<Row> rows{
        {"preflight",
         [this](Options&) {
             snapshot = [](const Uuid&, double, std::stop_token) -> std::optional<std::string> {
                 throw TailscaleCompatibilityError(TailscaleCompatibilityError::Case::relayUnavailable);
             };
         },
         "Connection attempt stopped during compatibility preflight: Tailscale has no active relay region for safe "
         "VPN compatibility.",
         {"tunnelStatus", "tunnelProtectionStatus"}},
        {"another route test's session", [](Options& options) { options.routeTestSessionID = Uuid::random(); },
         "Connection attempt stopped during compatibility preflight: The operation was cancelled.",
         {"tunnelStatus", "tunnelProtectionStatus"}},
        {"preparation",
         [this](Options&) {
             helper->onPrepareRuntime = [](const Uuid&, double) -> std::string {
                 throw PrivilegedHelperClientError(Case::runtimePreparationRequired);
             };
         },
         "Connection attempt stopped during signed runtime preparation: The signed tunnel runtime must be prepared "
         "again before connecting.",
         {"prepareRuntime", "tunnelStatus", "tunnelProtectionStatus"}},
        {"start", [this](Options&) { startScript = {[] { throw PrivilegedHelperClientError(Case::timedOut); }}; },
         "Connection attempt stopped: The privileged helper did not respond in time.",
         {"prepareRuntime", "startTunnel", "tunnelStatus", "tunnelProtectionStatus"}},
    };
    const RouteNode route = trojanRoute("a", "RO");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        restart();
        snapshot = [](const Uuid&, double, std::stop_token) { return std::optional<std::string>(); };
        Options options;
        row.inject(options);
        AppState& app = start();
        playConnect({route}, options);
        ASSERT_TRUE(runnerEnded());
        const std::vector<std::string> lines = logLines();
        EXPECT_EQ(lines.back(), row.line);
        EXPECT_EQ(lines.size(), row.name == std::string("start") ? 2U : 1U);
        EXPECT_EQ(helperOperations(), row.operations);
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
        EXPECT_EQ(app.activeMode, std::nullopt);
        EXPECT_EQ(app.connectionAttemptID, std::nullopt);
        EXPECT_FALSE(app.connectionTask.isSet());
        EXPECT_TRUE(app.routeAvailabilityGeneration.empty());
    }
}

// A netstat that outlives the candidate's 5 s for the interface lookup
// ends the attempt, and is stopped.
TEST_F(ConnectionPlanTest, AnInterfaceLookupPastItsDeadlineStopsTheAttempt) {
    netstat.hanging();
    AppState& app = start();
    playConnect({trojanRoute("a", "RO")});
    ASSERT_TRUE(runEventsUntil([&] { return !netstat.runs().empty(); }));
    clock->advance(5.5);
    ASSERT_TRUE(runnerEnded());
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "Privileged tunnel runtime prepared in 0.000s.",
                              "Connection attempt stopped: The tunnel startup exceeded its deadline.",
                          }));
    EXPECT_TRUE(runEventsUntil([&] { return !netstat.anyRunLeft(); }));
    EXPECT_TRUE(starts().empty());
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
}

TEST_F(ConnectionPlanTest, AnAttemptNoLongerCurrentEndsWithoutAWord) {
    const RouteNode a = trojanRoute("a", "RO");
    const RouteNode c = trojanRoute("c", "EE");
    const Uuid other = *Uuid::parse("0B5E5A53-7C9E-4D52-8E2B-5F0A3C1D2E4F");
    // Replaced during the start: a start that fails ends the run; the tunnel
    // of one that succeeds is stopped.
    for (const bool startSucceeds : {false, true}) {
        SCOPED_TRACE(startSucceeds ? "replaced during a start that succeeds" : "replaced during a start that fails");
        restart();
        std::latch release(1);
        startScript = {[&] {
            release.wait();
            if (!startSucceeds) throw PrivilegedHelperClientError(Case::timedOut);
        }};
        AppState& app = start();
        playConnect({a});
        ASSERT_TRUE(runEventsUntil([&] { return !starts().empty(); }));
        app.connectionAttemptID = other;
        release.count_down();
        ASSERT_TRUE(runnerEnded());
        EXPECT_EQ(logLines(), std::vector<std::string>{"Privileged tunnel runtime prepared in 0.000s."});
        std::vector<std::string> operations{"prepareRuntime", "startTunnel"};
        if (startSucceeds) operations.push_back(kStop);
        EXPECT_EQ(helperOperations(), operations);
        EXPECT_EQ(app.connectionAttemptID, other);
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connecting);
        EXPECT_TRUE(app.routeAvailability().empty());
    }
    {
        SCOPED_TRACE("disconnected in the pause");
        restart();
        AppState& app = start();
        sleeper->hold();
        playConnect({a, c});
        ASSERT_TRUE(runEventsUntil([&] { return !sleeper->sleeps().empty() && logLines().size() == 7; }));
        app.connectionAttemptID.reset();
        app.connectionTask.cancel();
        sleeper->wakeAll();
        ASSERT_TRUE(runnerEnded());
        EXPECT_EQ(logLines().back(), "Trying fallback 2 of 2: " + c.displayTitle());
        EXPECT_EQ(helperOperations(), (std::vector<std::string>{"prepareRuntime", "startTunnel", kStop}));
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connecting);
    }
    {
        SCOPED_TRACE("disconnected during a probe: its line, then only the attempt's cleanup");
        restart();
        AppState& app = start();
        probe->script({{{}, 0.0, true}});
        playConnect({a});
        ASSERT_TRUE(runEventsUntil([&] { return probe->waiting(); }));
        app.connectionAttemptID.reset();
        app.connectionTask.cancel();
        ASSERT_TRUE(runnerEnded());
        EXPECT_EQ(logLines(), (std::vector<std::string>{
                                  "Privileged tunnel runtime prepared in 0.000s.",
                                  gateFailure(a)[0],
                                  gateFailure(a)[1],
                              }));
        EXPECT_EQ(helperOperations(), (std::vector<std::string>{"prepareRuntime", "startTunnel", kStop}));
        EXPECT_TRUE(app.routeAvailability().empty());
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connecting);
    }
}

TEST_F(ConnectionPlanTest, SuccessRecordsTheConnectedRoute) {
    struct Row {
        const char* name;
        std::optional<std::string> serviceClass;
        bool flagBefore;
        bool firstFails;  // the first candidate's start is refused
        bool oneCandidateWithoutNode;
        Options options;
        bool flagAfter;
    };
    Options notPersisting;
    notPersisting.persistsSuccessfulRoute = false;
    Options switching;
    switching.switchingFromActiveRoute = true;
    const std::vector<Row> rows{
        {"free, another node", " Free\n", false, true, false, {}, true},
        {"paid", "paid", false, true, false, {}, false},
        {"paid, flag already set", "paid", true, true, false, {}, true},
        {"free, the first candidate without a node", "free", false, false, true, {}, false},
        {"not persisting", "rescue", false, true, false, notPersisting, true},
        {"switching", "free", false, true, false, switching, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        restart();
        settings = std::make_shared<MemorySettings>();
        if (row.firstFails) startScript = {rejecting("refused")};
        probe->script({kPass});
        AppState& app = start();
        app.subscriptionServiceClass = row.serviceClass;
        app.automaticCrossNodeSelection = row.flagBefore;
        const std::vector<RouteNode> plan = row.oneCandidateWithoutNode
                                                ? std::vector<RouteNode>{trojanRoute("x", std::nullopt)}
                                                : std::vector<RouteNode>{trojanRoute("a", "RO"), trojanRoute("c", "EE")};
        const RouteNode& connected = plan.back();
        playConnect(plan, row.options);
        ASSERT_TRUE(runnerEnded());

        EXPECT_EQ(logLines().back(), std::string(row.options.switchingFromActiveRoute ? "Switched to " : "Connected through ") +
                                         connected.diagnosticDescription() + " after IP, DNS, and HTTPS checks.");
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connected);
        EXPECT_EQ(app.activeMode, ConnectionMode::tun);
        EXPECT_EQ(app.activeRouteID(), connected.id);
        EXPECT_EQ(savedSetting(AppState::savedActiveRouteIDKey), connected.id);
        EXPECT_EQ(app.routeAvailability().at(connected.id), RouteAvailability::available);
        EXPECT_EQ(app.automaticCrossNodeSelection, row.flagAfter);
        EXPECT_EQ(app.connectionAttemptID, std::nullopt);
        EXPECT_FALSE(app.connectionTask.isSet());
        EXPECT_TRUE(app.tunnelHealthMonitor.isSet());
        EXPECT_TRUE(app.protectionLeaseMonitor.isSet());
        if (row.options.persistsSuccessfulRoute) {
            EXPECT_EQ(app.selectedRouteID(), connected.id);
            EXPECT_EQ(savedSetting(AppState::savedRouteIDKey), connected.id);
            EXPECT_EQ(settings->boolean(AppState::savedAutomaticCrossNodeSelectionKey), row.flagAfter);
        } else {
            EXPECT_EQ(app.selectedRouteID(), std::nullopt);
            EXPECT_FALSE(hasSetting(AppState::savedRouteIDKey));
            EXPECT_FALSE(hasSetting(AppState::savedAutomaticCrossNodeSelectionKey));
        }
    }
}

TEST_F(ConnectionPlanTest, AnExhaustedProtectedPlanOnlyVerifiesProtection) {
    struct Row {
        const char* name;
        Options options;
        std::optional<bool> protectionActive;  // none: the question fails
        std::string line;
        std::optional<ConnectionMode> mode;
    };
    Options switching;
    switching.switchingFromActiveRoute = true;
    Options routeTest;
    routeTest.keepsProtectionOnExhaustion = true;
    const std::string unverified =
        "VPN protection state could not be verified after candidate exhaustion. Use Disconnect before retrying.";
    const std::vector<Row> rows{
        {"switching, unverified", switching, std::nullopt, unverified, ConnectionMode::tun},
        {"route test, active", routeTest, true, kNoPermittedRoute, ConnectionMode::tun},
        {"switching, inactive", switching, false, kNoPermittedRoute, std::nullopt},
    };
    const RouteNode route = trojanRoute("a", "RO");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        restart();
        startScript = {rejecting("refused")};
        helper->onTunnelProtectionStatus = [row](double) {
            if (!row.protectionActive) throw PrivilegedHelperClientError(Case::timedOut);
            return *row.protectionActive;
        };
        AppState& app = start();
        playConnect({route}, row.options);
        ASSERT_TRUE(runnerEnded());
        EXPECT_EQ(logLines().back(), row.line);
        EXPECT_EQ(helperOperations(),
                  (std::vector<std::string>{"prepareRuntime", "startTunnel", kStop, "tunnelProtectionStatus"}));
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
        EXPECT_EQ(app.activeMode, row.mode);
        EXPECT_EQ(app.protectionLeaseMonitor.isSet(), row.mode.has_value());
    }
}

TEST_F(ConnectionPlanTest, AnUnhealthyTunnelThatCannotBeStoppedEndsThePlanWithProtectionKept) {
    helper->onVersionCheckedBooleanRequest = [](const ipc::Request&, double) { return false; };
    AppState& app = start();
    const RouteNode a = trojanRoute("a", "RO");
    playConnect({a, trojanRoute("b", "RO")});
    ASSERT_TRUE(runnerEnded());
    EXPECT_EQ(logLines(), concat({{"Privileged tunnel runtime prepared in 0.000s."},
                                  gateFailure(a),
                                  {"The unhealthy VPN process could not be stopped. Use Disconnect before retrying."}}));
    EXPECT_EQ(helperOperations(), (std::vector<std::string>{"prepareRuntime", "startTunnel", kStop}));
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
    EXPECT_EQ(app.activeMode, ConnectionMode::tun);
    EXPECT_TRUE(app.protectionLeaseMonitor.isSet());
}

}  // namespace
}  // namespace tarnel
