#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "tests/state/connection_plan_fixture.hpp"

// How an attempt ends: failed with protection kept or dropped, its tunnel
// stopped, protection released after an exhausted plan, and a stopped
// attempt reconciled with what the helper still runs.

namespace tarnel {
namespace {

using testing::kAttempt;
using testing::runEventsUntil;
using Case = PrivilegedHelperClientError::Case;

const Uuid kOtherAttempt = *Uuid::parse("0B5E5A53-7C9E-4D52-8E2B-5F0A3C1D2E4F");

class AttemptCleanupTest : public testing::ConnectionPlanFixture {
protected:
    AttemptCleanupTest() {
        start();
        state->connectionAttemptID = kAttempt;
        state->activeMode = ConnectionMode::tun;
        state->setActiveRouteID("r0");
        state->setTunnelStatus(TunnelStatus::connecting);
    }
};

TEST_F(AttemptCleanupTest, FailingAnAttemptKeepsOrDropsProtection) {
    AppState& app = *state;
    // An attempt that is no longer the current one changes nothing.
    app.failConnection(kOtherAttempt, true, "old");
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connecting);
    EXPECT_EQ(app.connectionAttemptID, kAttempt);
    EXPECT_TRUE(logLines().empty());
    EXPECT_FALSE(app.protectionLeaseMonitor.isSet());

    app.failConnection(kAttempt, true, "kept");
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::failed);
    EXPECT_EQ(app.activeMode, ConnectionMode::tun);
    EXPECT_EQ(app.connectionAttemptID, std::nullopt);
    EXPECT_EQ(app.activeRouteID(), std::nullopt);
    EXPECT_FALSE(hasSetting(AppState::savedActiveRouteIDKey));
    EXPECT_TRUE(app.protectionLeaseMonitor.isSet());

    app.connectionAttemptID = kAttempt;
    app.failConnection(kAttempt, false, "dropped");
    EXPECT_EQ(app.activeMode, std::nullopt);
    EXPECT_FALSE(app.protectionLeaseMonitor.isSet());
    EXPECT_EQ(logLines(), (std::vector<std::string>{"kept", "dropped"}));
}

TEST_F(AttemptCleanupTest, ReleasingProtectionAfterAnExhaustedPlan) {
    struct Row {
        const char* name;
        bool disconnects;
        std::optional<bool> protectionActive;  // none: the question fails
        bool restored;
        std::string line;
    };
    const std::string timedOut = "The privileged helper did not respond in time.";
    const std::vector<Row> rows{
        {"disconnected", true, false, true, "Direct internet was restored after the connection plan was exhausted."},
        {"still active", false, true, false,
         "VPN protection could not be released after the failed connection plan. Use Disconnect to restore direct "
         "internet. " + timedOut},
        {"unknown", false, std::nullopt, false,
         "VPN protection could not be released after the failed connection plan. Use Disconnect to restore direct "
         "internet. " + timedOut},
        {"inactive", false, false, true,
         "Direct internet is available although VPN cleanup reported an error: " + timedOut},
    };
    const std::filesystem::path configuration = netstat.folder() / "tun-config.json";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        files::ensurePrivateDirectory(netstat.folder());
        files::writeAtomically(configuration, "{}");
        std::vector<std::pair<double, bool>> disconnects;
        helper->onDisconnectTunnel = [&, row](double timeout, bool checkVersion) {
            disconnects.emplace_back(timeout, checkVersion);
            if (!row.disconnects) throw PrivilegedHelperClientError(Case::timedOut);
        };
        helper->onTunnelProtectionStatus = [row](double) {
            if (!row.protectionActive) throw PrivilegedHelperClientError(Case::connectionInvalidated);
            return *row.protectionActive;
        };
        state->replaceTask(state->protectionLeaseMonitor, [](AppState&, std::stop_token) -> QCoro::Task<> { co_return; });
        const std::size_t linesBefore = logLines().size();

        EXPECT_EQ(awaitTask([](AppState& app, std::stop_token) { return app.releaseProtectionAfterFailedPlan(); }),
                  row.restored);
        EXPECT_EQ(disconnects, (std::vector<std::pair<double, bool>>{{8.0, false}}));
        EXPECT_EQ(std::filesystem::exists(configuration), !row.disconnects);
        EXPECT_FALSE(state->protectionLeaseMonitor.isSet());
        EXPECT_EQ(logLines().size(), linesBefore + 1);
        EXPECT_EQ(logLines().back(), row.line);
    }
}

TEST_F(AttemptCleanupTest, CleaningUpStopsOnlyTheAttemptsTunnel) {
    struct Row {
        std::optional<bool> stopped;  // none: the connection is interrupted
        bool result;
        std::vector<std::string> lines;
    };
    const std::vector<Row> rows{
        {true, true, {}},
        {false, false, {}},
        {std::nullopt, false, {"VPN cleanup failed: The privileged helper connection was interrupted."}},
    };
    for (const Row& row : rows) {
        std::vector<std::pair<ipc::Request, double>> requests;
        helper->onVersionCheckedBooleanRequest = [&, row](const ipc::Request& work, double timeout) {
            requests.emplace_back(work, timeout);
            if (!row.stopped) throw PrivilegedHelperClientError(Case::connectionInterrupted);
            return *row.stopped;
        };
        const std::size_t linesBefore = logLines().size();
        EXPECT_EQ(awaitTask([](AppState& app, std::stop_token) { return app.cleanUpVPN(kAttempt); }), row.result);
        EXPECT_EQ(requests, (std::vector<std::pair<ipc::Request, double>>{
                                {PrivilegedHelperClient::requestStopTunnelForAttempt(kAttempt), 8.0}}));
        const std::vector<std::string> lines = logLines();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(linesBefore), lines.end()),
                  row.lines);
    }
}

TEST_F(AttemptCleanupTest, FinishingAStoppedAttemptFollowsWhatTheHelperRuns) {
    struct Row {
        const char* name;
        std::optional<std::string> restorableRouteID;
        std::optional<std::int32_t> process;  // the status query fails for -1
        std::optional<bool> protectionActive;  // none: the question fails
        TunnelStatus status;
        std::optional<ConnectionMode> mode;
        std::optional<std::string> activeRouteID;
        bool healthMonitor;
        bool leaseMonitor;
    };
    const std::vector<Row> rows{
        {"running, route known", "r1", 4242, false, TunnelStatus::connected, ConnectionMode::tun, "r1", true, true},
        {"no route, protected", std::nullopt, 4242, true, TunnelStatus::failed, ConnectionMode::tun, std::nullopt,
         false, true},
        {"no process, protected", "r1", std::nullopt, true, TunnelStatus::failed, ConnectionMode::tun, std::nullopt,
         false, true},
        {"status unknown, unprotected", "r1", -1, false, TunnelStatus::disconnected, std::nullopt, std::nullopt,
         false, false},
        {"protection unknown", "r1", std::nullopt, std::nullopt, TunnelStatus::disconnected, std::nullopt,
         std::nullopt, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        AppState& app = *state;
        app.connectionAttemptID = kAttempt;
        app.replaceTask(app.connectionTask, [](AppState&, std::stop_token) -> QCoro::Task<> { co_return; });
        app.tunnelHealthMonitor.reset();
        app.protectionLeaseMonitor.reset();
        app.setActiveRouteID("r0");
        helper->onTunnelStatus = [row](double) -> std::optional<std::int32_t> {
            if (row.process == -1) throw PrivilegedHelperClientError(Case::timedOut);
            return row.process;
        };
        helper->onTunnelProtectionStatus = [row](double) {
            if (!row.protectionActive) throw PrivilegedHelperClientError(Case::timedOut);
            return *row.protectionActive;
        };
        awaitTask([&](AppState& owner, std::stop_token) {
            return owner.finishConnectionAttempt(kAttempt, row.restorableRouteID);
        });
        EXPECT_EQ(app.tunnelStatus(), row.status);
        EXPECT_EQ(app.activeMode, row.mode);
        EXPECT_EQ(app.activeRouteID(), row.activeRouteID);
        EXPECT_EQ(savedSetting(AppState::savedActiveRouteIDKey), row.activeRouteID);
        EXPECT_EQ(app.connectionAttemptID, std::nullopt);
        EXPECT_FALSE(app.connectionTask.isSet());
        EXPECT_EQ(app.tunnelHealthMonitor.isSet(), row.healthMonitor);
        EXPECT_EQ(app.protectionLeaseMonitor.isSet(), row.leaseMonitor);
        EXPECT_TRUE(logLines().empty());
    }
}

TEST_F(AttemptCleanupTest, FinishingAnAttemptReplacedDuringTheQueryChangesNothing) {
    AppState& app = *state;
    std::latch answered(1);
    helper->onTunnelStatus = [&](double) -> std::optional<std::int32_t> {
        answered.wait();
        return 4242;
    };
    bool finished = false;
    app.startTask([&](AppState& owner, std::stop_token) -> QCoro::Task<> {
        auto finish = owner.finishConnectionAttempt(kAttempt, "r1");
        co_await finish;
        finished = true;
    });
    ASSERT_TRUE(runEventsUntil([&] { return !helper->calls().empty(); }));
    app.connectionAttemptID = kOtherAttempt;
    answered.count_down();
    ASSERT_TRUE(runEventsUntil([&] { return finished; }));
    EXPECT_EQ(app.connectionAttemptID, kOtherAttempt);
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::connecting);
    EXPECT_EQ(app.activeRouteID(), "r0");
    EXPECT_EQ(helperOperations(), std::vector<std::string>{"tunnelStatus"});

    // Nor does one that was never the current attempt: not even the query.
    awaitTask([](AppState& owner, std::stop_token) { return owner.finishConnectionAttempt(kAttempt, "r1"); });
    EXPECT_EQ(helperOperations(), std::vector<std::string>{"tunnelStatus"});
}

}  // namespace
}  // namespace tarnel
