// Route testing: "Test all" connects through every route in turn and
// records which carried traffic through the normal gate, only through the
// extended one, or not at all.

#include <algorithm>
#include <utility>

#include "app/state/app_state.hpp"
#include "common/base/error.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

namespace {

// Seconds each candidate of a step has from its configuration to its start.
constexpr double kStepTimeBudget = 20.0;
// The bounded waits for a step's attempt, polled every 100 ms.
constexpr double kNormalAttemptWait = 92.0;
constexpr double kExtendedAttemptWait = 122.0;
constexpr double kAttemptPollInterval = 0.1;
constexpr double kPauseBeforeRetry = 2.0;
constexpr double kPauseAfterRoute = 0.3;

constexpr std::string_view kUnavailableLine = "Route test unavailable: disconnect the VPN and select VPN mode first.";
constexpr std::string_view kPreflightStopPrefix = "Route test stopped during compatibility preflight: ";
constexpr std::string_view kTimeoutLine =
    "Route test stopped because the current attempt exceeded its bounded timeout.";
constexpr std::string_view kNoGateLine = "Route test stopped because the current route did not reach its traffic gate.";
constexpr std::string_view kUnsafeLine = "Route test stopped because the VPN could not enter a safe inter-route state.";
constexpr std::string_view kUnverifiedPrefix = "Route test stopped because VPN protection state could not be verified: ";
constexpr std::string_view kFinalCleanupLine = "Route test stopped because the final VPN cleanup failed.";

std::string concatenated(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) text.append(part);
    return text;
}

}  // namespace

bool AppState::isCurrentRouteTest(const Uuid& sessionID, const std::stop_token& stop) const {
    return !stop.stop_requested() && routeTestSessionID == sessionID;
}

void AppState::testAllRoutes() {
    if (!canTestAllRoutes()) {
        appendLog(kUnavailableLine);
        return;
    }
    if (!checkCompetingVPN()) return;

    std::vector<RouteNode> routes = routes_;
    const Uuid sessionID = Uuid::random();
    latestRouteTestSessionID = sessionID;
    routeTestSessionID = sessionID;
    routeTestCompatibility.open(sessionID);
    const int total = static_cast<int>(routes.size());
    setRouteTestProgress(RouteTestProgress{0, total, std::nullopt});
    appendLog("Testing " + std::to_string(total) + " routes with the normal connection gate.");
    replaceTask(routeTestTask, [routes = std::move(routes), sessionID](AppState& state, std::stop_token stop) {
        return state.runRouteTest(routes, sessionID, std::move(stop));
    });
}

void AppState::stopRouteTest() {
    if (!routeTestSessionID) return;
    routeTestTask.cancel();
    finishRouteTestSession();
    if (isConnectionEngaged()) stopConnection();
    appendLog("Route test stopped.");
}

QCoro::Task<> AppState::runRouteTest(std::vector<RouteNode> routes, Uuid sessionID, std::stop_token stop) {
    try {
        co_await testEveryRoute(std::move(routes), sessionID, stop);
    } catch (const CancellationError&) {
        // stopped: whatever stopped it wrote the closing line
    }
    // The session's snapshot never outlives its task.
    routeTestCompatibility.store(std::nullopt, sessionID);
}

QCoro::Task<> AppState::testEveryRoute(std::vector<RouteNode> routes, Uuid sessionID, std::stop_token stop) {
    try {
        const RouteTestCompatibilitySession::Loader loader = [this, sessionID, stop] {
            return runCompatibilityPreflight(sessionID, stop);
        };
        auto opening = routeTestCompatibility.begin(sessionID, loader, stop);
        co_await opening;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        endRouteTest(sessionID, concatenated({kPreflightStopPrefix, errorMessage(error)}));
        co_return;
    }

    const int total = static_cast<int>(routes.size());
    for (int index = 0; index < total; ++index) {
        const RouteNode& route = routes[static_cast<std::size_t>(index)];
        if (!isCurrentRouteTest(sessionID, stop)) co_return;
        std::optional<RouteAvailability> remembered;
        if (const auto found = routeAvailability_.find(route.id); found != routeAvailability_.end()) {
            remembered = found->second;
        }
        setRouteTestProgress(RouteTestProgress{index, total, route.id});

        std::optional<RouteAvailability> recorded;
        try {
            const auto normal = co_await testRoute(route, sessionID, false, kNormalAttemptWait, stop);
            if (normal == RouteAvailability::available) {
                recorded = RouteAvailability::available;
            } else if (normal == RouteAvailability::unavailable) {
                restoreRouteAvailability(remembered, route.id, sessionID);
                const std::string title = route.displayTitle();
                appendLog("Waiting for network cleanup before retrying " + title + ".");
                auto pause = sleep(kPauseBeforeRetry, stop);
                co_await pause;
                if (isCurrentRouteTest(sessionID, stop)) {
                    appendLog("Retrying " + title + " with the extended reachability gate.");
                    const auto extended = co_await testRoute(route, sessionID, true, kExtendedAttemptWait, stop);
                    if (extended == RouteAvailability::available) {
                        recorded = RouteAvailability::slow;
                    } else if (extended == RouteAvailability::unavailable) {
                        recorded = RouteAvailability::unavailable;
                    }
                }
            }
        } catch (const CancellationError&) {
            recorded.reset();
        }
        if (!recorded || !isCurrentRouteTest(sessionID, stop)) {
            // Cut short: the route keeps what it had; whatever ended the
            // test wrote the closing line.
            restoreRouteAvailability(remembered, route.id, sessionID);
            co_return;
        }
        setRouteAvailability(*recorded, route.id);
        if (recorded == RouteAvailability::slow) {
            appendLog("Route passed only the extended reachability gate: " + route.displayTitle() + ".");
        }
        setRouteTestProgress(RouteTestProgress{index + 1, total, std::nullopt});
        auto pause = sleep(kPauseAfterRoute, stop);
        co_await pause;
    }
    if (!isCurrentRouteTest(sessionID, stop)) co_return;

    stopConnection();
    if (tunnelStatus_ != TunnelStatus::disconnected) {
        endRouteTest(sessionID, kFinalCleanupLine);
        co_return;
    }
    const RouteTestSummaryCounts counts = routeTestSummaryCounts(routes, routeAvailability_);
    finishRouteTestSession();
    appendLog("Route test completed: " + std::to_string(counts.available) + " available, " +
              std::to_string(counts.slow) + " slow, " + std::to_string(counts.unavailable) + " unavailable, " +
              std::to_string(counts.notTested) + " not tested.");
}

QCoro::Task<std::optional<RouteAvailability>> AppState::testRoute(RouteNode route, Uuid sessionID, bool extendedGate,
                                                                 double timeBudget, std::stop_token stop) {
    const auto generationOf = [this](const std::string& routeID) -> std::uint64_t {
        const auto found = routeAvailabilityGeneration.find(routeID);
        return found == routeAvailabilityGeneration.end() ? 0 : found->second;
    };
    const std::uint64_t generation = generationOf(route.id);
    const Uuid attemptID = Uuid::random();
    ConnectOptions options;
    options.selectedRouteOnly = true;
    options.extendedGate = extendedGate;
    options.interactive = false;
    options.attemptID = attemptID;
    options.routeTest = true;
    options.timeBudget = kStepTimeBudget;
    options.routeTestSession = sessionID;
    connect(route, options);

    if (!co_await waitForAttempt(timeBudget, attemptID, sessionID, stop)) co_return std::nullopt;
    if (!isCurrentRouteTest(sessionID, stop)) co_return std::nullopt;

    // Only a verdict of the traffic gate counts, which raised the generation.
    const auto found = routeAvailability_.find(route.id);
    const std::optional<RouteAvailability> verdict =
        found == routeAvailability_.end() ? std::nullopt : std::optional(found->second);
    if (generationOf(route.id) == generation ||
        (verdict != RouteAvailability::available && verdict != RouteAvailability::unavailable)) {
        if (isConnectionEngaged()) stopConnection();
        endRouteTest(sessionID, kNoGateLine);
        co_return std::nullopt;
    }
    if (!co_await settleBetweenRouteTests(attemptID, sessionID, stop)) {
        endRouteTest(sessionID, kUnsafeLine);
        co_return std::nullopt;
    }
    co_return verdict;
}

QCoro::Task<bool> AppState::waitForAttempt(double timeout, Uuid attemptID, Uuid sessionID, std::stop_token stop) {
    const double start = environment_.clock->uptime();
    while (routeTestSessionID == sessionID && connectionAttemptID == attemptID &&
           tunnelStatus_ == TunnelStatus::connecting) {
        if (start + timeout <= environment_.clock->uptime()) {
            if (isConnectionEngaged()) stopConnection();
            endRouteTest(sessionID, kTimeoutLine);
            co_return false;
        }
        auto poll = sleep(kAttemptPollInterval, stop);
        co_await poll;
    }
    co_return true;
}

QCoro::Task<bool> AppState::settleBetweenRouteTests(Uuid attemptID, Uuid sessionID, std::stop_token stop) {
    // The attempt is still the step's, or a plan that ended cleared it;
    // another attempt means something else took over.
    const auto attemptMatches = [&] { return !connectionAttemptID || *connectionAttemptID == attemptID; };
    if (!isCurrentRouteTest(sessionID, stop) || !attemptMatches()) co_return false;
    tunnelHealthMonitor.cancel();
    tunnelHealthMonitor.reset();
    if (!co_await cleanUpVPN(attemptID)) co_return false;
    if (!isCurrentRouteTest(sessionID, stop) || !attemptMatches()) co_return false;

    bool protectionActive = false;
    try {
        protectionActive = co_await isTunnelProtectionActive();
    } catch (const std::exception& error) {
        if (isCurrentRouteTest(sessionID, stop)) appendLog(concatenated({kUnverifiedPrefix, errorMessage(error)}));
        co_return false;
    }
    if (!isCurrentRouteTest(sessionID, stop) || !attemptMatches()) co_return false;

    connectionAttemptID.reset();
    connectionTask.cancel();
    connectionTask.reset();
    setActiveRouteID(std::nullopt);
    if (protectionActive) {
        // The next step's Connect runs as a protected replacement.
        activeMode = ConnectionMode::tun;
        setTunnelStatus(TunnelStatus::connecting);
        replaceTask(protectionLeaseMonitor,
                    [](AppState& state, std::stop_token leaseStop) { return state.maintainProtectionLease(leaseStop); });
    } else {
        activeMode.reset();
        setTunnelStatus(TunnelStatus::disconnected);
        protectionLeaseMonitor.cancel();
        protectionLeaseMonitor.reset();
    }
    co_return true;
}

void AppState::endRouteTest(const Uuid& sessionID, std::string_view message) {
    if (routeTestSessionID != sessionID) return;
    if (isConnectionEngaged()) stopConnection();
    finishRouteTestSession();
    appendLog(message);
}

void AppState::restoreRouteAvailability(const std::optional<RouteAvailability>& remembered, const std::string& routeID,
                                        const Uuid& sessionID) {
    if (latestRouteTestSessionID != sessionID) return;
    RouteAvailabilityMap availability = routeAvailability_;
    if (remembered) {
        availability.insert_or_assign(routeID, *remembered);
    } else {
        availability.erase(routeID);
    }
    setRouteAvailability(std::move(availability));
}

AppState::RouteTestSummaryCounts AppState::routeTestSummaryCounts(std::span<const RouteNode> routes,
                                                                  const RouteAvailabilityMap& availability) {
    RouteTestSummaryCounts counts;
    for (const RouteNode& route : routes) {
        const auto found = availability.find(route.id);
        if (found == availability.end()) continue;
        switch (found->second) {
            case RouteAvailability::available: ++counts.available; break;
            case RouteAvailability::slow: ++counts.slow; break;
            case RouteAvailability::unavailable: ++counts.unavailable; break;
            default: break;
        }
    }
    counts.notTested = static_cast<int>(routes.size()) - counts.available - counts.slow - counts.unavailable;
    return counts;
}

}  // namespace tarnel
