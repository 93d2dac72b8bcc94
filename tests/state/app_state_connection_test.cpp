#include <gtest/gtest.h>

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/tunnel/privileged_helper_installer.hpp"
#include "common/base/files.hpp"
#include "common/contract/competing_vpn_detector_error.hpp"
#include "common/process/cancellation_error.hpp"
#include "tests/state/app_state_fixture.hpp"
#include "tests/tunnel/netstat_standin.hpp"
#include "tests/tunnel/sample_routes.hpp"

// Connect before the connection plan runs (the proxy mode whole, the
// competing-VPN check, the helper's checks and the failure tail), and
// Disconnect.

namespace tarnel {
namespace {

using testing::runEventsUntil;
using testing::runPostedEvents;
using ClientCase = PrivilegedHelperClientError::Case;
using Lines = std::vector<std::string>;

PrivilegedHelperClientError clientError(ClientCase errorCase) { return PrivilegedHelperClientError(errorCase); }

std::string makersVPNLine(const char* uuid) {
    return std::string("* (Connected)      ") + uuid + " VPN (app.tarnel.ios) \"Tarnel\"  [VPN/app.tarnel.ios]\n";
}

// What a VPN Connect handed its connection task.
struct HandedPlan {
    ConnectionPlanRequest request;
    std::stop_token stop;
};

QCoro::Task<> recordPlan(std::vector<HandedPlan>& plans, ConnectionPlanRequest request, std::stop_token stop) {
    plans.push_back({std::move(request), std::move(stop)});
    co_return;
}

class ConnectTest : public testing::AppStateFixture {
protected:
    ConnectTest() {
        r1 = testing::sampleRoute(RouteTransport::vless);
        r1.id = "r1";
        r1.nodeCode = "RO";
        r2 = testing::sampleRoute(RouteTransport::hysteria2);
        r2.id = "r2";
        r2.nodeCode = "RO";
    }

    // The state with the two routes, r1 selected.
    AppState& startWithRoutes() {
        AppState& app = start();
        app.setRoutes({r1, r2});
        app.setSelectedRouteID("r1");
        return app;
    }

    [[nodiscard]] std::vector<std::string> proxyOperations() const {
        std::vector<std::string> operations;
        for (const auto& call : proxyRuntime->calls()) operations.push_back(call.operation);
        return operations;
    }

    // Connect's plans go to `plans` in place of the runner.
    void recordPlans() {
        connectionPlan = [this](AppState&, ConnectionPlanRequest request, std::stop_token stop) {
            return recordPlan(plans, std::move(request), std::move(stop));
        };
    }
    // The helper runs nothing.
    void nothingRuns() {
        helper->onTunnelStatus = [](double) { return std::optional<std::int32_t>(); };
        helper->onTunnelProtectionStatus = [](double) { return false; };
    }

    RouteNode r1;
    RouteNode r2;
    std::vector<HandedPlan> plans;
    // The application's folder in a data directory of the test.
    testing::NetstatStandIn netstat;
};

TEST_F(ConnectTest, AProxyConnectWithoutTheSystemProxyAsksNoHelperAndWatchesTheProxyFromTenSeconds) {
    AppState& app = startWithRoutes();
    app.setConnectionMode(ConnectionMode::proxy);
    app.setManageSystemProxy(false);
    app.setSystemProxyService("Ethernet");
    sleeper->hold();
    const double begin = clock->uptime();

    EXPECT_TRUE(app.connect());
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connected);
    EXPECT_EQ(app.activeMode, ConnectionMode::proxy);
    EXPECT_EQ(app.activeRouteID(), "r1");
    EXPECT_EQ(settings->string(AppState::savedActiveRouteIDKey), "r1");
    EXPECT_EQ(app.routeAvailability().at("r1"), RouteAvailability::available);
    EXPECT_EQ(app.routeAvailabilityGeneration.at("r1"), 1U);
    EXPECT_EQ(app.connectionAttemptID, std::nullopt);
    EXPECT_TRUE(helper->calls().empty());
    EXPECT_EQ(newLogLines(),
              Lines{"Started proxy fallback for " + r1.diagnosticDescription() +
                    ". System proxy not changed on Ethernet."});
    const auto configuration = netstat.folder() / "proxy-config.json";
    ASSERT_EQ(proxyRuntime->calls().size(), 1U);
    EXPECT_EQ(proxyRuntime->calls()[0].configuration, configuration);
    EXPECT_TRUE(std::filesystem::is_regular_file(configuration));

    ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 1; }));
    EXPECT_EQ(sleeper->sleeps(), std::vector<double>{10.0});
    EXPECT_EQ(proxyOperations(), std::vector<std::string>{"start"});
    sleeper->wakeAll();
    ASSERT_TRUE(runEventsUntil([&] { return proxyRuntime->calls().size() == 2; }));
    EXPECT_EQ(proxyRuntime->calls()[1].operation, "probe");
    EXPECT_EQ(proxyRuntime->calls()[1].uptime, begin + 10.0);
}

TEST_F(ConnectTest, AProxyThatTheSystemCannotUseIsStoppedAndAFailedRuntimeClearsTheRoute) {
    const struct Case {
        const char* name;
        std::function<void()> script;
        std::optional<ConnectionMode> mode;
        std::optional<std::string> activeRoute;
        Lines lines;
        std::vector<std::string> helperCalls;
        std::vector<std::string> proxyOperations;
    } cases[] = {
        {"the helper does not start after its installation",
         [this] {
             ensureHelper = []() -> PrivilegedHelperIdentity {
                 throw PrivilegedHelperInstallError(PrivilegedHelperInstallError::Case::helperDidNotStart);
             };
         },
         std::nullopt,
         "r2",
         {"System proxy enable failed; stopped sing-box to avoid a false connected state. The privileged helper was "
          "installed but did not start."},
         {},
         {"start", "terminate"}},
        {"the enable times out",
         [this] {
             helper->onEnableSystemProxy = [](std::string_view service, double, bool checkVersion) {
                 EXPECT_EQ(service, "Wi-Fi");
                 EXPECT_TRUE(checkVersion);
                 throw clientError(ClientCase::timedOut);
             };
             helper->onDisableSystemProxy = [](double, bool checkVersion) { EXPECT_FALSE(checkVersion); };
         },
         std::nullopt,
         "r2",
         {"System proxy enable failed; stopped sing-box to avoid a false connected state. The privileged helper did "
          "not respond in time.",
          "Disabled system proxy on Wi-Fi."},
         {"helperIdentity(2)", "enableSystemProxy(8)", "disableSystemProxy(8)"},
         {"start", "terminate"}},
        {"the enable's connection breaks and so does the disable",
         [this] {
             helper->onEnableSystemProxy = [](std::string_view, double, bool) {
                 throw clientError(ClientCase::connectionInterrupted);
             };
             helper->onDisableSystemProxy = [](double, bool) {
                 throw PrivilegedHelperClientError::helperRejected("The system proxy command failed.");
             };
         },
         std::nullopt,
         "r2",
         {"System proxy enable failed; stopped sing-box to avoid a false connected state. The privileged helper "
          "connection was interrupted.",
          "System proxy disable failed: The system proxy command failed."},
         {"helperIdentity(2)", "enableSystemProxy(8)", "disableSystemProxy(8)"},
         {"start", "terminate"}},
        {"the helper refuses the enable",
         [this] {
             helper->onEnableSystemProxy = [](std::string_view, double, bool) {
                 throw PrivilegedHelperClientError::helperRejected("The system proxy command failed.");
             };
         },
         std::nullopt,
         "r2",
         {"System proxy enable failed; stopped sing-box to avoid a false connected state. The system proxy command "
          "failed."},
         {"helperIdentity(2)", "enableSystemProxy(8)"},
         {"start", "terminate"}},
        {"the runtime exits",
         [this] {
             proxyRuntime->onStart = [](const std::filesystem::path&) {
                 throw SingBoxProcessError(SingBoxProcessError::Case::processExited);
             };
         },
         ConnectionMode::proxy,
         std::nullopt,
         {"Connect failed: sing-box exited before the proxy became usable."},
         {},
         {"start"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        helper = std::make_shared<testing::ScriptedHelperClient>();
        helper->onHelperIdentity = [](double) { return PrivilegedHelperIdentity{35, 4242}; };
        proxyRuntime = std::make_shared<testing::ScriptedProxyProcess>(clock);
        ensureHelper = [this] { return helper->helperIdentity(2.0); };
        row.script();
        AppState& app = startWithRoutes();
        app.setActiveRouteID("r2");
        app.setConnectionMode(ConnectionMode::proxy);

        EXPECT_FALSE(app.connect());
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
        EXPECT_EQ(app.activeMode, row.mode);
        EXPECT_EQ(app.activeRouteID(), row.activeRoute);
        EXPECT_EQ(settings->string(AppState::savedActiveRouteIDKey), row.activeRoute);
        EXPECT_FALSE(app.systemProxyEnabled());
        EXPECT_TRUE(app.routeAvailability().empty());
        EXPECT_FALSE(app.tunnelHealthMonitor);
        EXPECT_EQ(newLogLines(), row.lines);
        EXPECT_EQ(helperCalls(), row.helperCalls);
        EXPECT_EQ(proxyOperations(), row.proxyOperations);
        EXPECT_EQ(app.connectionNotice(), "");
        endState();
    }
}

TEST_F(ConnectTest, TheMakersOtherVPNOrAnUnreadableListRefusesAVPNConnectBeforeAnythingChanges) {
    const struct {
        const char* name;
        std::function<std::string()> list;
        std::string line;
    } cases[] = {
        {"one", [] { return makersVPNLine("6F1C5C1E-8A4E-4C2E-9A43-1C0B4E7D2A10"); },
         "Tarnel из TestFlight или App Store уже подключена. Отключите её перед запуском Tarnel Direct."},
        {"two",
         [] {
             return makersVPNLine("6F1C5C1E-8A4E-4C2E-9A43-1C0B4E7D2A10") +
                    makersVPNLine("7F1C5C1E-8A4E-4C2E-9A43-1C0B4E7D2A10");
         },
         "Tarnel из TestFlight или App Store уже подключена. Отключите её перед запуском Tarnel Direct."},
        {"unreadable",
         []() -> std::string { throw CompetingVPNDetectorError::commandFailed("scutil timed out"); },
         "Не удалось проверить другие VPN: Could not verify other active VPN profiles: scutil timed out"},
    };
    for (const auto& [name, list, line] : cases) {
        SCOPED_TRACE(name);
        networkConnectionList = list;
        AppState& app = startWithRoutes();
        app.connectionAttemptID = Uuid::random();

        EXPECT_FALSE(app.connect());
        EXPECT_EQ(app.connectionNotice(), line);
        EXPECT_EQ(newLogLines(), Lines{line});
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
        EXPECT_EQ(app.activeMode, std::nullopt);
        EXPECT_TRUE(helper->calls().empty());
        endState();
    }

    int listings = 0;
    networkConnectionList = [&] {
        ++listings;
        return makersVPNLine("6F1C5C1E-8A4E-4C2E-9A43-1C0B4E7D2A10");
    };
    AppState& app = startWithRoutes();
    app.setConnectionMode(ConnectionMode::proxy);
    app.setManageSystemProxy(false);
    EXPECT_TRUE(app.connect());
    EXPECT_EQ(listings, 0);
}

TEST_F(ConnectTest, AConnectCancelsTheStartOfTheAttemptInFlightFirstWhateverTheAnswer) {
    helper->onBooleanRequest = [](const PrivilegedHelperOperations::Work&, double, bool checkVersion) {
        EXPECT_FALSE(checkVersion);
        throw PrivilegedHelperClientError::helperRejected("unknown attempt");
    };
    helper->onEnableSystemProxy = [](std::string_view, double, bool) {};
    AppState& app = startWithRoutes();
    app.setConnectionMode(ConnectionMode::proxy);
    const Uuid previous = Uuid::random();
    app.connectionAttemptID = previous;
    EXPECT_TRUE(app.connect());
    EXPECT_EQ(helperCalls(), (std::vector<std::string>{"cancelTunnelStart(" + previous.text() + ", 0.75)",
                                                       "helperIdentity(2)", "enableSystemProxy(8)"}));
    EXPECT_TRUE(app.systemProxyEnabled());
    EXPECT_EQ(newLogLines(), Lines{"Started proxy fallback for " + r1.diagnosticDescription() +
                                ". System proxy enabled on Wi-Fi."});
}

TEST_F(ConnectTest, WithoutARouteConnectOnlySaysSo) {
    AppState& app = start();
    EXPECT_FALSE(app.connect());
    EXPECT_EQ(newLogLines(), Lines{"No selected route."});
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
    EXPECT_TRUE(helper->calls().empty());
}

// The helper's runtime status and protection status as a Connect sees them:
// the first `failures` status questions fail with `error`, the rest answer.
struct HelperAnswers {
    int failures = 0;
    std::exception_ptr error;
    std::optional<std::int32_t> process;
    bool protection = false;
};

const std::exception_ptr kTimedOut = std::make_exception_ptr(clientError(ClientCase::timedOut));

TEST_F(ConnectTest, AFailureBeforeThePlanShowsWhatTheHelperStillRunsAndMarksNoRoute) {
    const struct Case {
        const char* name;
        std::function<void()> inject;
        HelperAnswers answers;
        bool leaseRenewed;
        std::optional<ConnectionMode> mode;
        std::string notice;
        Lines lines;
    } cases[] = {
        {"status times out, and again",
         [] {},
         {2, kTimedOut, std::nullopt, false},
         true,
         ConnectionMode::tun,
         "The privileged VPN state could not be verified. Use Disconnect before retrying.",
         {"Privileged helper version 35 is live at PID 4242.",
          "Connect failed: The privileged helper did not respond in time."}},
        {"the installed helper does not start",
         [this] {
             ensureHelper = []() -> PrivilegedHelperIdentity {
                 throw PrivilegedHelperInstallError(PrivilegedHelperInstallError::Case::helperDidNotStart);
             };
         },
         {1, kTimedOut, std::nullopt, false},
         false,
         std::nullopt,
         "The privileged helper was installed but did not start.",
         {"Connect failed: The privileged helper was installed but did not start."}},
        {"status rejected, then nothing runs",
         [] {},
         {1, std::make_exception_ptr(PrivilegedHelperClientError::helperRejected("boom")), std::nullopt, false},
         false,
         std::nullopt,
         "",
         {"Privileged helper version 35 is live at PID 4242.", "Connect failed: boom"}},
        {"the proxy disable times out while a process runs",
         [this] {
             helper->onDisableSystemProxy = [](double, bool) { throw clientError(ClientCase::timedOut); };
         },
         {0, nullptr, 9, false},
         false,
         ConnectionMode::tun,
         "",
         {"Privileged helper version 35 is live at PID 4242.",
          "Found an existing privileged VPN runtime; treating this Connect as a protected replacement.",
          "A privileged VPN process is still running, but its route identity is unverified. Use Connect to replace "
          "it or Disconnect to stop it.",
          "Connect failed: The privileged helper did not respond in time."}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        helper = std::make_shared<testing::ScriptedHelperClient>();
        helper->onHelperIdentity = [](double) { return PrivilegedHelperIdentity{35, 4242}; };
        ensureHelper = [this] { return helper->helperIdentity(2.0); };
        int statusQuestions = 0;
        helper->onTunnelStatus = [&statusQuestions, answers = row.answers](double) {
            if (++statusQuestions > answers.failures) return answers.process;
            std::rethrow_exception(answers.error);
        };
        helper->onTunnelProtectionStatus = [protection = row.answers.protection](double) { return protection; };
        row.inject();
        sleeper->hold();
        AppState& app = startWithRoutes();
        app.setSystemProxyEnabled(true);
        app.setActiveRouteID(std::nullopt);

        EXPECT_FALSE(app.connect());
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
        EXPECT_EQ(app.activeMode, row.mode);
        EXPECT_EQ(app.activeRouteID(), std::nullopt);
        EXPECT_EQ(app.connectionAttemptID, std::nullopt);
        EXPECT_FALSE(app.connectionTask);
        EXPECT_EQ(app.connectionNotice(), row.notice);
        EXPECT_EQ(newLogLines(), row.lines);
        EXPECT_TRUE(app.routeAvailability().empty());
        EXPECT_TRUE(app.routeAvailabilityGeneration.empty());
        EXPECT_EQ(static_cast<bool>(app.protectionLeaseMonitor), row.leaseRenewed);
        if (row.leaseRenewed) {
            // The lease monitor renews at once.
            ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 1; }));
            EXPECT_EQ(helperCalls().back(), "renewTunnelProtectionLease(2)");
        }
        endState();
        sleeper = std::make_shared<testing::VirtualSleeper>(clock);
    }
}

TEST_F(ConnectTest, AnEmptyPlanKeepsTheLeaseOfProtectionThatIsStillActive) {
    nothingRuns();
    helper->onTunnelProtectionStatus = [](double) { return true; };
    sleeper->hold();
    AppState& app = start();
    app.setActiveRouteID("r1");

    EXPECT_FALSE(app.connect(r1));
    EXPECT_EQ(newLogLines(), (Lines{"Privileged helper version 35 is live at PID 4242.",
                                 "VPN protection remains active without a running tunnel. Use Disconnect before "
                                 "retrying.",
                                 "No connection candidates are available."}));
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
    EXPECT_EQ(app.activeMode, ConnectionMode::tun);
    EXPECT_EQ(app.activeRouteID(), std::nullopt);
    EXPECT_FALSE(hasSetting(AppState::savedActiveRouteIDKey));
    EXPECT_EQ(app.connectionAttemptID, std::nullopt);
    ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 1; }));
    EXPECT_EQ(helperCalls(), (std::vector<std::string>{"helperIdentity(2)", "tunnelStatus(2)",
                                                       "tunnelProtectionStatus(2)", "renewTunnelProtectionLease(2)"}));
}

TEST_F(ConnectTest, SelectingARouteSavesItUnlessARouteTestRuns) {
    AppState& app = startWithRoutes();
    app.automaticCrossNodeSelection = true;
    app.selectRoute(r2);
    EXPECT_EQ(app.selectedRouteID(), "r2");
    EXPECT_FALSE(app.automaticCrossNodeSelection);
    EXPECT_EQ(settings->string(AppState::savedRouteIDKey), "r2");
    EXPECT_EQ(settings->boolean(AppState::savedAutomaticCrossNodeSelectionKey), false);
    EXPECT_TRUE(hasSetting(AppState::savedAutomaticCrossNodeSelectionKey));
    EXPECT_EQ(newLogLines(), Lines{"Selected " + r2.diagnosticDescription() + "."});

    app.setRouteTestProgress(RouteTestProgress{0, 2, "r1"});
    app.selectRoute(r1);
    EXPECT_EQ(app.selectedRouteID(), "r2");
    EXPECT_TRUE(newLogLines().empty());
}

TEST_F(ConnectTest, DisconnectStopsWhatTheModeRunsAndLogsTheStopEvenWhenNothingRan) {
    const struct Case {
        const char* name;
        ConnectionMode mode;
        bool systemProxy;
        Lines lines;
        std::vector<std::string> helperCalls;
    } cases[] = {
        {"proxy with the system proxy", ConnectionMode::proxy, true,
         {"Disabled system proxy on Wi-Fi.", "Stopped proxy sing-box process."}, {"disableSystemProxy(8)"}},
        {"proxy, nothing running", ConnectionMode::proxy, false, {"Stopped proxy sing-box process."}, {}},
        {"VPN, nothing running", ConnectionMode::tun, false, {"Stopped TUN sing-box process."},
         {"disconnectTunnel(8)"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        helper = std::make_shared<testing::ScriptedHelperClient>();
        helper->onDisableSystemProxy = [](double, bool checkVersion) { EXPECT_FALSE(checkVersion); };
        helper->onDisconnectTunnel = [](double, bool checkVersion) { EXPECT_FALSE(checkVersion); };
        proxyRuntime = std::make_shared<testing::ScriptedProxyProcess>(clock);
        AppState& app = startWithRoutes();
        app.setConnectionMode(row.mode);
        app.setSystemProxyEnabled(row.systemProxy);
        app.setActiveRouteID("r1");
        app.setTunnelStatus(TunnelStatus::connected);
        app.setConnectionNotice("old notice");

        app.disconnect();
        EXPECT_EQ(newLogLines(), row.lines);
        EXPECT_EQ(helperCalls(), row.helperCalls);
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
        EXPECT_EQ(app.activeMode, std::nullopt);
        EXPECT_EQ(app.activeRouteID(), std::nullopt);
        EXPECT_FALSE(hasSetting(AppState::savedActiveRouteIDKey));
        EXPECT_FALSE(app.systemProxyEnabled());
        EXPECT_EQ(app.connectionNotice(), "");
        EXPECT_EQ(proxyOperations(),
                  row.mode == ConnectionMode::proxy ? std::vector<std::string>{"terminate"} : std::vector<std::string>{});
        endState();
    }
}

TEST_F(ConnectTest, DisconnectCancelsTheAttemptsStartAndEveryTaskBeforeTheHelpersDisconnect) {
    helper->onBooleanRequest = [](const PrivilegedHelperOperations::Work&, double, bool) {
        throw PrivilegedHelperClientError::helperRejected("unknown attempt");
    };
    helper->onDisconnectTunnel = [](double, bool) {};
    sleeper->hold();
    AppState& app = startWithRoutes();
    const auto configuration = netstat.folder() / "tun-config.json";
    std::filesystem::create_directories(configuration.parent_path());
    files::writeAtomically(configuration, "{}");
    std::vector<std::string> ended;
    const auto sleeping = [&ended](std::string name) {
        return [&ended, name](AppState& owner, std::stop_token stop) -> QCoro::Task<> {
            try {
                co_await owner.sleep(60.0, stop);
            } catch (const CancellationError&) {
                ended.push_back(name);
            }
        };
    };
    app.replaceTask(app.connectionTask, sleeping("connection"));
    app.replaceTask(app.tunnelHealthMonitor, sleeping("health"));
    app.replaceTask(app.protectionLeaseMonitor, sleeping("lease"));
    ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 3; }));
    const Uuid attempt = Uuid::random();
    app.connectionAttemptID = attempt;
    app.activeMode = ConnectionMode::tun;
    app.setTunnelStatus(TunnelStatus::connecting);

    app.disconnect();
    EXPECT_EQ(helperCalls(), (std::vector<std::string>{"cancelTunnelStart(" + attempt.text() + ", 0.75)",
                                                       "disconnectTunnel(8)"}));
    EXPECT_FALSE(std::filesystem::exists(configuration));
    EXPECT_EQ(newLogLines(), Lines{"Stopped TUN sing-box process."});
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
    EXPECT_EQ(app.connectionAttemptID, std::nullopt);
    EXPECT_FALSE(app.connectionTask || app.tunnelHealthMonitor || app.protectionLeaseMonitor);
    ASSERT_TRUE(runEventsUntil([&] { return ended.size() == 3; }));
}

TEST_F(ConnectTest, AFailedDisconnectKeepsTheRouteAndRenewsTheLeaseOnlyWhileProtectionIsActive) {
    const struct Case {
        const char* name;
        std::function<bool(double)> protection;
        std::optional<ConnectionMode> mode;
        bool leaseRenewed;
    } cases[] = {
        {"protection active", [](double) { return true; }, ConnectionMode::tun, true},
        {"protection inactive", [](double) { return false; }, std::nullopt, false},
        {"protection unknown", nullptr, std::nullopt, false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        helper = std::make_shared<testing::ScriptedHelperClient>();
        helper->onDisconnectTunnel = [](double, bool) {
            throw PrivilegedHelperClientError::helperRejected("PF busy");
        };
        helper->onTunnelProtectionStatus = row.protection;
        AppState& app = startWithRoutes();
        app.setActiveRouteID("r1");
        app.setTunnelStatus(TunnelStatus::connected);
        app.routeTestSessionID = app.latestRouteTestSessionID = Uuid::random();
        app.setRouteTestProgress(RouteTestProgress{1, 2, "r1"});

        app.disconnect();
        EXPECT_EQ(newLogLines(), (Lines{"Route test stopped.", "Disconnect failed: PF busy"}));
        EXPECT_EQ(helperCalls(), (std::vector<std::string>{"disconnectTunnel(8)", "tunnelProtectionStatus(2)"}));
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
        EXPECT_EQ(app.activeMode, row.mode);
        EXPECT_EQ(app.activeRouteID(), "r1");
        EXPECT_EQ(settings->string(AppState::savedActiveRouteIDKey), "r1");
        EXPECT_EQ(app.routeTestSessionID, std::nullopt);
        EXPECT_EQ(app.routeTestProgress(), std::nullopt);
        EXPECT_EQ(static_cast<bool>(app.protectionLeaseMonitor), row.leaseRenewed);
        EXPECT_FALSE(app.tunnelHealthMonitor);
        endState();
    }
}

TEST_F(ConnectTest, AFailedSystemProxyDisableLeavesTheProxyRunning) {
    helper->onDisableSystemProxy = [](double, bool) { throw clientError(ClientCase::timedOut); };
    helper->onTunnelProtectionStatus = [](double) { return false; };
    AppState& app = startWithRoutes();
    app.setConnectionMode(ConnectionMode::proxy);
    app.setManageSystemProxy(true);
    helper->onEnableSystemProxy = [](std::string_view, double, bool) {};
    ASSERT_TRUE(app.connect());
    (void)newLogLines();

    app.disconnect();
    EXPECT_EQ(newLogLines(), Lines{"Disconnect failed: The privileged helper did not respond in time."});
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
    EXPECT_EQ(app.activeMode, ConnectionMode::proxy);
    EXPECT_TRUE(app.systemProxyEnabled());
    EXPECT_TRUE(proxyRuntime->isRunning());
    EXPECT_EQ(app.activeRouteID(), "r1");
}

TEST_F(ConnectTest, AVPNConnectHandsThePlanAndItsInputsToTheConnectionTask) {
    const Uuid stepAttempt = Uuid::random();
    const Uuid session = Uuid::random();
    AppState::ConnectOptions routeTestStep;
    routeTestStep.selectedRouteOnly = true;
    routeTestStep.extendedGate = true;
    routeTestStep.interactive = false;
    routeTestStep.attemptID = stepAttempt;
    routeTestStep.routeTest = true;
    routeTestStep.timeBudget = 20.0;
    routeTestStep.routeTestSession = session;
    const std::string planLine = "Signed failover plan prepared across permitted transports and nodes.";
    const std::string foundLine =
        "Found an existing privileged VPN runtime; treating this Connect as a protected replacement.";
    const struct Case {
        const char* name;
        std::optional<AppState::ConnectOptions> options;  // none: the window's
        std::optional<std::int32_t> process;
        TunnelStatus previousStatus;
        std::optional<std::string> previousRoute;
        std::vector<std::string> plan;
        bool switching;
        Lines lines;
    } cases[] = {
        {"the window, nothing running", std::nullopt, std::nullopt, TunnelStatus::disconnected, std::nullopt,
         {"r1", "r2"}, false, {planLine}},
        {"a route-test step", routeTestStep, std::nullopt, TunnelStatus::disconnected, "r2", {"r2"}, false, {}},
        {"a runtime found", std::nullopt, 31337, TunnelStatus::failed, std::nullopt, {"r1", "r2"}, true,
         {foundLine, planLine}},
        {"a runtime found with a previous route", std::nullopt, 31337, TunnelStatus::failed, "r2", {"r1", "r2"},
         true, {planLine}},
        {"connected before", std::nullopt, std::nullopt, TunnelStatus::connected, "r2", {"r1", "r2"}, true,
         {planLine}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        helper = std::make_shared<testing::ScriptedHelperClient>();
        helper->onHelperIdentity = [](double) { return PrivilegedHelperIdentity{35, 4242}; };
        nothingRuns();
        helper->onTunnelStatus = [process = row.process](double) { return process; };
        plans.clear();
        recordPlans();
        AppState& app = startWithRoutes();
        app.subscriptionServiceClass = "free";
        app.setTunnelStatus(row.previousStatus);
        app.setActiveRouteID(row.previousRoute);

        const bool started = row.options ? app.connect(r2, *row.options) : app.connect();
        EXPECT_TRUE(started);
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connecting);
        EXPECT_EQ(app.activeMode, ConnectionMode::tun);
        EXPECT_FALSE(app.tunnelHealthMonitor || app.protectionLeaseMonitor);
        Lines lines{"Privileged helper version 35 is live at PID 4242."};
        lines.insert(lines.end(), row.lines.begin(), row.lines.end());
        EXPECT_EQ(newLogLines(), lines);
        EXPECT_EQ(helperCalls(), (std::vector<std::string>{"helperIdentity(2)", "tunnelStatus(2)",
                                                           "tunnelProtectionStatus(2)"}));
        ASSERT_TRUE(runEventsUntil([&] { return plans.size() == 1; }));
        const ConnectionPlanRequest& request = plans[0].request;
        std::vector<std::string> plan;
        for (const RouteNode& candidate : request.candidates) plan.push_back(candidate.id);
        EXPECT_EQ(plan, row.plan);
        EXPECT_EQ(request.attemptID, app.connectionAttemptID);
        if (row.options) {
            EXPECT_EQ(request.attemptID, stepAttempt);
        }
        const auto& options = request.options;
        EXPECT_EQ(options.restorableRouteID, row.previousRoute);
        EXPECT_EQ(options.switchingFromActiveRoute, row.switching);
        EXPECT_EQ(options.timeBudget, row.options ? 20.0 : 12.0);
        EXPECT_EQ(options.routeTestSessionID, row.options ? std::optional(session) : std::nullopt);
        EXPECT_EQ(options.diagnosticSelectedRouteOnly, row.options.has_value());
        EXPECT_EQ(options.persistsSuccessfulRoute, !row.options);
        EXPECT_EQ(options.keepsProtectionOnExhaustion, row.options.has_value());
        endState();
    }
}

TEST_F(ConnectTest, TheLaunchFlagLimitsTheWindowsPlanAndExtendsItsGate) {
    arguments.push_back("--selected-route-only-diagnostic");
    nothingRuns();
    recordPlans();
    AppState& app = startWithRoutes();
    app.subscriptionServiceClass = "free";
    ASSERT_TRUE(app.connect());
    ASSERT_TRUE(runEventsUntil([&] { return plans.size() == 1; }));
    EXPECT_EQ(plans[0].request.candidates, std::vector<RouteNode>{r1});
    EXPECT_TRUE(plans[0].request.options.diagnosticSelectedRouteOnly);
    EXPECT_TRUE(plans[0].request.options.persistsSuccessfulRoute);
    EXPECT_EQ(plans[0].request.options.timeBudget, 12.0);
}

TEST_F(ConnectTest, ASecondConnectCancelsTheFirstAttemptsStartAndItsTask) {
    nothingRuns();
    helper->onBooleanRequest = [](const PrivilegedHelperOperations::Work&, double, bool) {};
    recordPlans();
    AppState& app = startWithRoutes();
    ASSERT_TRUE(app.connect());
    ASSERT_TRUE(runEventsUntil([&] { return plans.size() == 1; }));
    const Uuid first = plans[0].request.attemptID;
    const std::size_t callsBefore = helper->calls().size();

    ASSERT_TRUE(app.connect());
    EXPECT_EQ(helperCalls(callsBefore).front(), "cancelTunnelStart(" + first.text() + ", 0.75)");
    EXPECT_NE(app.connectionAttemptID, first);
    EXPECT_TRUE(plans[0].stop.stop_requested());
    ASSERT_TRUE(runEventsUntil([&] { return plans.size() == 2; }));
    EXPECT_EQ(plans[1].request.attemptID, app.connectionAttemptID);
    EXPECT_FALSE(plans[1].stop.stop_requested());
}

TEST_F(ConnectTest, APasteImportsTheClipboardsTrimmedTextOnceNoImportRuns) {
    AppState& app = start();
    clipboard = "  \n";
    app.pasteSubscriptionFromClipboard();
    EXPECT_EQ(newLogLines(), Lines{"Clipboard does not contain a subscription."});
    EXPECT_EQ(app.subscriptionInput(), "");

    clipboard = "  link \n";
    app.pasteSubscriptionFromClipboard();
    EXPECT_EQ(app.subscriptionInput(), "link");
    EXPECT_TRUE(app.isImporting());
    finishImports();
    EXPECT_EQ(newLogLines().front(), "Importing subscription...");

    // During an import: each paste waits for the imports before it to end.
    app.setIsImporting(true);
    clipboard = "first";
    app.pasteSubscriptionFromClipboard();
    clipboard = "second";
    app.pasteSubscriptionFromClipboard();
    runPostedEvents();
    EXPECT_EQ(app.subscriptionInput(), "link");
    EXPECT_TRUE(newLogLines().empty());
    Lines inputs;
    QObject::connect(&app, &AppState::subscriptionInputChanged, [&] {
        inputs.push_back(app.subscriptionInput() + (app.isImporting() ? " while importing" : ""));
    });
    app.setIsImporting(false);
    EXPECT_TRUE(inputs.empty());
    ASSERT_TRUE(runEventsUntil([&] { return app.subscriptionInput() == "second"; }));
    finishImports();
    EXPECT_EQ(inputs, (Lines{"first", "second"}));
    Lines started;
    for (const std::string& line : newLogLines()) {
        if (line.starts_with("Import")) started.push_back(line.substr(0, line.find(':')));
    }
    EXPECT_EQ(started, (Lines{"Importing subscription...", "Import failed", "Importing subscription...",
                              "Import failed"}));
}

TEST_F(ConnectTest, ForgetStopsTheConnectionFirst) {
    AppState& app = startWithRoutes();
    app.setConnectionMode(ConnectionMode::proxy);
    app.setManageSystemProxy(false);
    ASSERT_TRUE(app.connect());
    (void)newLogLines();

    app.forgetSavedSubscription();
    EXPECT_EQ(newLogLines(), (Lines{"Stopped proxy sing-box process.", "Forgot saved subscription on this Mac."}));
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
    EXPECT_TRUE(app.routes().empty());
}

}  // namespace
}  // namespace tarnel
