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
#include "tests/tunnel/sample_routes.hpp"

// Connect before the connection plan runs (the proxy mode whole, the
// competing-VPN check, the helper's checks and the failure tail), and
// Disconnect.

namespace tarnel {
namespace {

using testing::runEventsUntil;
using ClientCase = PrivilegedHelperClientError::Case;
using Lines = std::vector<std::string>;

PrivilegedHelperClientError clientError(ClientCase errorCase) { return PrivilegedHelperClientError(errorCase); }

std::string makersVPNLine(const char* uuid) {
    return std::string("* (Connected)      ") + uuid + " VPN (app.tarnel.ios) \"Tarnel\"  [VPN/app.tarnel.ios]\n";
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
        for (const auto& call : proxy->calls()) operations.push_back(call.operation);
        return operations;
    }

    RouteNode r1;
    RouteNode r2;
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
    EXPECT_EQ(logLines(),
              Lines{"Started proxy fallback for " + r1.diagnosticDescription() +
                    ". System proxy not changed on Ethernet."});
    const auto configuration = dataHome.path() / "Tarnel Direct" / "proxy-config.json";
    ASSERT_EQ(proxy->calls().size(), 1U);
    EXPECT_EQ(proxy->calls()[0].configuration, configuration);
    EXPECT_TRUE(std::filesystem::is_regular_file(configuration));

    ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 1; }));
    EXPECT_EQ(sleeper->sleeps(), std::vector<double>{10.0});
    EXPECT_EQ(proxyOperations(), std::vector<std::string>{"start"});
    sleeper->wakeAll();
    ASSERT_TRUE(runEventsUntil([&] { return proxy->calls().size() == 2; }));
    EXPECT_EQ(proxy->calls()[1].operation, "probe");
    EXPECT_EQ(proxy->calls()[1].uptime, begin + 10.0);
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
             proxy->onStart = [](const std::filesystem::path&) {
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
        proxy = std::make_shared<testing::ScriptedProxyProcess>(clock);
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
        EXPECT_EQ(logLines(), row.lines);
        EXPECT_EQ(helperCalls(), row.helperCalls);
        EXPECT_EQ(proxyOperations(), row.proxyOperations);
        EXPECT_EQ(app.connectionNotice(), "");
        state.reset();
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
        EXPECT_EQ(logLines(), Lines{line});
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
        EXPECT_EQ(app.activeMode, std::nullopt);
        EXPECT_TRUE(helper->calls().empty());
        state.reset();
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
    EXPECT_EQ(logLines(), Lines{"Started proxy fallback for " + r1.diagnosticDescription() +
                                ". System proxy enabled on Wi-Fi."});
}

TEST_F(ConnectTest, WithoutARouteConnectOnlySaysSo) {
    AppState& app = start();
    EXPECT_FALSE(app.connect());
    EXPECT_EQ(logLines(), Lines{"No selected route."});
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
        EXPECT_EQ(logLines(), row.lines);
        EXPECT_TRUE(app.routeAvailability().empty());
        EXPECT_TRUE(app.routeAvailabilityGeneration.empty());
        EXPECT_EQ(static_cast<bool>(app.protectionLeaseMonitor), row.leaseRenewed);
        if (row.leaseRenewed) {
            // The lease monitor renews at once.
            ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 1; }));
            EXPECT_EQ(helperCalls().back(), "renewTunnelProtectionLease(2)");
        }
        state.reset();
        testing::runPostedEvents();
        sleeper = std::make_shared<testing::VirtualSleeper>(clock);
    }
}

TEST_F(ConnectTest, AnEmptyPlanKeepsTheLeaseOfProtectionThatIsStillActive) {
    helper->onTunnelStatus = [](double) { return std::optional<std::int32_t>(); };
    helper->onTunnelProtectionStatus = [](double) { return true; };
    sleeper->hold();
    AppState& app = start();
    app.setActiveRouteID("r1");

    EXPECT_FALSE(app.connect(r1));
    EXPECT_EQ(logLines(), (Lines{"Privileged helper version 35 is live at PID 4242.",
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
    EXPECT_EQ(logLines(), Lines{"Selected " + r2.diagnosticDescription() + "."});

    app.setRouteTestProgress(RouteTestProgress{0, 2, "r1"});
    app.selectRoute(r1);
    EXPECT_EQ(app.selectedRouteID(), "r2");
    EXPECT_EQ(logLines().size(), 1U);
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
        proxy = std::make_shared<testing::ScriptedProxyProcess>(clock);
        AppState& app = startWithRoutes();
        app.setConnectionMode(row.mode);
        app.setSystemProxyEnabled(row.systemProxy);
        app.setActiveRouteID("r1");
        app.setTunnelStatus(TunnelStatus::connected);
        app.setConnectionNotice("old notice");

        app.disconnect();
        EXPECT_EQ(logLines(), row.lines);
        EXPECT_EQ(helperCalls(), row.helperCalls);
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
        EXPECT_EQ(app.activeMode, std::nullopt);
        EXPECT_EQ(app.activeRouteID(), std::nullopt);
        EXPECT_FALSE(hasSetting(AppState::savedActiveRouteIDKey));
        EXPECT_FALSE(app.systemProxyEnabled());
        EXPECT_EQ(app.connectionNotice(), "");
        EXPECT_EQ(proxyOperations(),
                  row.mode == ConnectionMode::proxy ? std::vector<std::string>{"terminate"} : std::vector<std::string>{});
        state.reset();
    }
}

TEST_F(ConnectTest, DisconnectCancelsTheAttemptsStartAndEveryTaskBeforeTheHelpersDisconnect) {
    helper->onBooleanRequest = [](const PrivilegedHelperOperations::Work&, double, bool) {
        throw PrivilegedHelperClientError::helperRejected("unknown attempt");
    };
    helper->onDisconnectTunnel = [](double, bool) {};
    sleeper->hold();
    AppState& app = startWithRoutes();
    const auto configuration = dataHome.path() / "Tarnel Direct" / "tun-config.json";
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
    EXPECT_EQ(logLines(), Lines{"Stopped TUN sing-box process."});
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
        EXPECT_EQ(logLines(), (Lines{"Route test stopped.", "Disconnect failed: PF busy"}));
        EXPECT_EQ(helperCalls(), (std::vector<std::string>{"disconnectTunnel(8)", "tunnelProtectionStatus(2)"}));
        EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
        EXPECT_EQ(app.activeMode, row.mode);
        EXPECT_EQ(app.activeRouteID(), "r1");
        EXPECT_EQ(settings->string(AppState::savedActiveRouteIDKey), "r1");
        EXPECT_EQ(app.routeTestSessionID, std::nullopt);
        EXPECT_EQ(app.routeTestProgress(), std::nullopt);
        EXPECT_EQ(static_cast<bool>(app.protectionLeaseMonitor), row.leaseRenewed);
        EXPECT_FALSE(app.tunnelHealthMonitor);
        state.reset();
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

    app.disconnect();
    EXPECT_EQ(logLines(2), Lines{"Disconnect failed: The privileged helper did not respond in time."});
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
    EXPECT_EQ(app.activeMode, ConnectionMode::proxy);
    EXPECT_TRUE(app.systemProxyEnabled());
    EXPECT_TRUE(proxy->isRunning());
    EXPECT_EQ(app.activeRouteID(), "r1");
}

}  // namespace
}  // namespace tarnel
