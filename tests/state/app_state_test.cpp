#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/process/cancellation_error.hpp"
#include "tests/state/app_state_fixture.hpp"

// The application state's log, its published fields, its tasks and the two
// helper questions it asks on the pool.

namespace tarnel {
namespace {

using testing::runEventsUntil;
using testing::runPostedEvents;

class AppStateTest : public testing::AppStateFixture {};

TEST_F(AppStateTest, AFreshStateHoldsTheInitialValues) {
    const AppState& app = start();
    EXPECT_EQ(app.tunnelStatus(), TunnelStatus::disconnected);
    EXPECT_EQ(app.connectionMode(), ConnectionMode::tun);
    EXPECT_TRUE(app.manageSystemProxy());
    EXPECT_EQ(app.systemProxyService(), "Wi-Fi");
    EXPECT_FALSE(app.systemProxyEnabled() || app.isImporting() || app.isOpeningAccount());
    EXPECT_EQ(app.accountPortalURL(), std::nullopt);
    EXPECT_EQ(app.accountMessage() + app.connectionNotice(), "");
    EXPECT_EQ(app.routeTestProgress(), std::nullopt);
    EXPECT_FALSE(app.proxyProcess->isRunning());
    EXPECT_FALSE(app.selectedRouteOnlyDiagnostic);
    EXPECT_EQ(app.tunnelHealthProbe.timeoutSeconds, 4.0);
    EXPECT_EQ(app.activeMode, std::nullopt);
    EXPECT_FALSE(app.connectionTask || app.tunnelHealthMonitor || app.protectionLeaseMonitor || app.routeTestTask);
    EXPECT_EQ(app.routeTestCompatibility.sessionID(), std::nullopt);
    EXPECT_TRUE(app.routeAvailabilityGeneration.empty());
    EXPECT_FALSE(app.subscriptionServiceClass || app.subscriptionOrigins || app.manifestFloorIdentity ||
                 app.manifestFloorRevision || app.manifestContentFloor || app.subscriptionManifestFormat);
    EXPECT_FALSE(app.automaticCrossNodeSelection);
}

TEST_F(AppStateTest, ALogLineCarriesTheWallClockTimeInUTC) {
    AppState& app = start();
    app.appendLog("x");
    EXPECT_EQ(app.diagnosticLog(), std::string(AppState::initialDiagnosticLog) + "\n[2024-03-05T06:07:08Z] x");
}

TEST_F(AppStateTest, APublishedFieldSignalsEveryAssignmentEvenOfItsCurrentValue) {
    AppState& app = start();
    std::vector<std::string> signalled;
    QObject::connect(&app, &AppState::tunnelStatusChanged, [&] { signalled.push_back("tunnelStatus"); });
    QObject::connect(&app, &AppState::routeAvailabilityChanged, [&] { signalled.push_back("routeAvailability"); });
    QObject::connect(&app, &AppState::diagnosticLogChanged, [&] { signalled.push_back("diagnosticLog"); });
    app.setTunnelStatus(TunnelStatus::disconnected);
    app.setTunnelStatus(TunnelStatus::disconnected);
    app.setRouteAvailability(RouteAvailability::slow, "r");
    app.setRouteAvailability(RouteAvailability::slow, "r");
    app.appendLog("");
    EXPECT_EQ(signalled, (std::vector<std::string>{"tunnelStatus", "tunnelStatus", "routeAvailability",
                                                   "routeAvailability", "diagnosticLog"}));
    EXPECT_EQ(app.routeAvailabilityGeneration.at("r"), 2U);
}

TEST_F(AppStateTest, ATaskReplacedWhileAsleepEndsCancelledOnALaterTurn) {
    AppState& app = start();
    sleeper->hold();
    std::vector<std::string> events;
    app.replaceTask(app.connectionTask, [&](AppState& owner, std::stop_token stop) -> QCoro::Task<> {
        try {
            co_await owner.sleep(20.0, stop);
            events.push_back("first slept");
        } catch (const CancellationError&) {
            events.push_back("first cancelled");
        }
    });
    ASSERT_TRUE(runEventsUntil([&] { return !sleeper->sleeps().empty(); }));
    app.replaceTask(app.connectionTask, [&](AppState&, std::stop_token) -> QCoro::Task<> {
        events.push_back("second ran");
        co_return;
    });
    EXPECT_TRUE(events.empty());
    ASSERT_TRUE(runEventsUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"first cancelled", "second ran"}));
}

TEST_F(AppStateTest, ATaskAsleepOrInAPoolCallWhenTheStateGoesNeverResumes) {
    AppState& app = start();
    sleeper->hold();
    std::latch release(1);
    std::atomic<bool> poolCallReturned = false;
    std::vector<std::string> resumed;
    const auto record = [&resumed](std::string what) { resumed.push_back(std::move(what)); };
    app.replaceTask(app.connectionTask, [&](AppState& owner, std::stop_token) -> QCoro::Task<> {
        try {
            co_await owner.onPool([&] {
                release.wait();
                poolCallReturned = true;
            });
            record("pool body");
        } catch (const std::exception&) {
            record("pool body's handler");
        }
    });
    app.startTask([&](AppState& owner, std::stop_token stop) -> QCoro::Task<> {
        try {
            co_await owner.sleep(10.0, stop);
            record("sleeping body");
        } catch (const std::exception&) {
            record("sleeping body's handler");
        }
    });
    ASSERT_TRUE(runEventsUntil([&] { return !sleeper->sleeps().empty(); }));

    state.reset();
    release.count_down();
    ASSERT_TRUE(runEventsUntil([&] { return poolCallReturned.load(); }));
    runPostedEvents();
    EXPECT_TRUE(resumed.empty());
}

TEST_F(AppStateTest, TheProtectionStatusIsAskedOnThePoolAndPassesThrough) {
    AppState& app = start();
    const auto mainThread = std::this_thread::get_id();
    for (const std::string answer : {"true", "false", "timedOut"}) {
        SCOPED_TRACE(answer);
        helper->onTunnelProtectionStatus = [answer](double) {
            if (answer == "timedOut") throw PrivilegedHelperClientError(PrivilegedHelperClientError::Case::timedOut);
            return answer == "true";
        };
        std::optional<std::string> outcome;
        app.startTask([&](AppState& owner, std::stop_token) -> QCoro::Task<> {
            try {
                outcome = (co_await owner.isTunnelProtectionActive()) ? "true" : "false";
            } catch (const PrivilegedHelperClientError& error) {
                if (error.errorCase() == PrivilegedHelperClientError::Case::timedOut) outcome = "timedOut";
            }
        });
        ASSERT_TRUE(runEventsUntil([&] { return outcome.has_value(); }));
        EXPECT_EQ(outcome, answer);
        const auto call = helper->calls().back();
        EXPECT_EQ(call.operation, "tunnelProtectionStatus");
        EXPECT_EQ(call.timeout, 2.0);
        EXPECT_NE(call.thread, mainThread);
    }
}

TEST_F(AppStateTest, ThePreflightGivesTheSnapshotItsDeadlineAndTheCallersStop) {
    clock->setUptime(100.0);
    std::mutex mutex;
    std::condition_variable_any stopped;
    std::optional<double> deadline;
    std::optional<Uuid> attempt;
    snapshot = [&](const Uuid& attemptID, double deadlineUptime, std::stop_token stop) -> std::optional<std::string> {
        std::unique_lock lock(mutex);
        attempt = attemptID;
        deadline = deadlineUptime;
        if (deadlineUptime == 112.0) return "payload";
        stopped.wait(lock, stop, [] { return false; });
        throw CancellationError{};
    };
    AppState& app = start();
    const Uuid attemptID = Uuid::random();

    std::vector<std::string> outcomes;
    const auto preflight = [&](std::stop_token stop) {
        app.startTask([&, stop](AppState& owner, std::stop_token) -> QCoro::Task<> {
            try {
                outcomes.push_back((co_await owner.runCompatibilityPreflight(attemptID, stop)).value_or("none"));
            } catch (const CancellationError&) {
                outcomes.push_back("cancelled");
            }
        });
    };
    preflight({});
    ASSERT_TRUE(runEventsUntil([&] { return outcomes.size() == 1; }));
    EXPECT_EQ(outcomes.back(), "payload");
    EXPECT_EQ(attempt, attemptID);

    clock->setUptime(200.0);
    std::stop_source caller;
    preflight(caller.get_token());
    ASSERT_TRUE(runEventsUntil([&] {
        std::lock_guard lock(mutex);
        return deadline == 212.0;
    }));
    caller.request_stop();
    ASSERT_TRUE(runEventsUntil([&] { return outcomes.size() == 2; }));
    EXPECT_EQ(outcomes.back(), "cancelled");
}

TEST_F(AppStateTest, FinishingTheRouteTestSessionClearsItButKeepsTheNewestIdentifier) {
    AppState& app = start();
    const Uuid session = Uuid::random();
    app.routeTestSessionID = app.latestRouteTestSessionID = session;
    app.routeTestCompatibility.open(session);
    app.setRouteTestProgress(RouteTestProgress{1, 3, "r"});
    app.replaceTask(app.routeTestTask, [](AppState&, std::stop_token) -> QCoro::Task<> { co_return; });

    app.finishRouteTestSession();
    EXPECT_EQ(app.routeTestSessionID, std::nullopt);
    EXPECT_EQ(app.routeTestCompatibility.sessionID(), std::nullopt);
    EXPECT_FALSE(app.routeTestTask.isSet());
    EXPECT_EQ(app.routeTestProgress(), std::nullopt);
    EXPECT_EQ(app.latestRouteTestSessionID, session);
}

}  // namespace
}  // namespace tarnel
