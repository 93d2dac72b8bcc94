// The failover plan of a VPN attempt: the runner, its traffic gate, and the
// operations that finish, clean up and fail an attempt.

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <string>
#include <utility>

#include "app/catalog/route_selection.hpp"
#include "app/catalog/unicode_text.hpp"
#include "app/state/app_state.hpp"
#include "app/tunnel/connect_support.hpp"
#include "app/tunnel/sing_box_config.hpp"
#include "app/tunnel/startup_timing.hpp"
#include "app/tunnel/tunnel_runtime_files.hpp"
#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

namespace {

constexpr double kPreparationSeconds = 45.0;
constexpr double kInterfaceDetectionSeconds = 5.0;
constexpr double kDiagnosticWindow = 30.0;
constexpr double kWindowCap = 5.0;
constexpr double kGraceSeconds = 5.0;
constexpr double kStopTunnelTimeout = 8.0;
constexpr double kDisconnectTimeout = 8.0;
constexpr double kStatusTimeout = 2.0;

constexpr std::string_view kNoPermittedRoute = "No permitted route passed the IP, DNS, and HTTPS connection gate.";

bool allPassed(const TunnelHealthProbe::Result& checks) {
    return std::ranges::all_of(checks, &TunnelHealthCheck::succeeded);
}

// The attempt's configuration file read back, removed whatever happens, and
// validated as the helper will validate it.
std::string takeValidatedConfiguration(const std::filesystem::path& url) {
    std::optional<std::string> bytes;
    try {
        bytes = files::readIfExists(url);
    } catch (const std::exception&) {
        TunnelRuntimeFiles::removeFile(url);
        throw;
    }
    TunnelRuntimeFiles::removeFile(url);
    if (!bytes) throw SystemError("read " + url.string(), ENOENT);
    (void)PrivilegedTunnelConfigurationValidator::validate(*bytes);
    return std::move(*bytes);
}

}  // namespace

// ----- The runner -----

QCoro::Task<> AppState::runConnectionPlan(std::vector<RouteNode> candidates, Uuid attemptID,
                                          ConnectionPlanOptions options, std::stop_token stop) {
    const Clock& clock = *environment_.clock;
    // An error that ends the run (step 7): the line's opening and the error.
    const auto stopWith = [&](std::string_view opening, const std::exception_ptr& failure) {
        return stopConnectionAttempt(attemptID, options.restorableRouteID, std::string(opening) + errorMessage(failure));
    };

    // Step 1: the Tailscale compatibility payload, a route test's shared one.
    std::optional<std::string> payload;
    std::exception_ptr failure;
    try {
        if (options.routeTestSessionID) {
            if (routeTestSessionID != options.routeTestSessionID) throw CancellationError{};
            payload = routeTestCompatibility.snapshot(*options.routeTestSessionID, stop);
        } else {
            auto preflight = runCompatibilityPreflight(attemptID, stop);
            payload = co_await preflight;
        }
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (failure) {
        auto stopped = stopWith("Connection attempt stopped during compatibility preflight: ", failure);
        co_await stopped;
        co_return;
    }
    // Step 2.
    if (!isCurrentAttempt(attemptID, stop)) co_return;

    // Step 3: the signed runtime, prepared once for every candidate.
    const double preparationStart = clock.uptime();
    std::string preparedRuntimeToken;
    try {
        auto preparation = onPool([helper = environment_.helper, clock = environment_.clock, attemptID,
                                   deadline = preparationStart + kPreparationSeconds] {
            return PrivilegedTunnelStartupTiming::timedRuntimePreparation(*helper, attemptID, deadline, *clock);
        });
        preparedRuntimeToken = co_await preparation;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (failure) {
        auto stopped = stopWith("Connection attempt stopped during signed runtime preparation: ", failure);
        co_await stopped;
        co_return;
    }
    if (!isCurrentAttempt(attemptID, stop)) co_return;
    appendLog("Privileged tunnel runtime prepared in " + elapsedText(preparationStart) + ".");

    // Step 4: the candidates in plan order.
    for (std::size_t index = 0; index < candidates.size(); ++index) {
        const RouteNode& candidate = candidates[index];
        if (!isCurrentAttempt(attemptID, stop)) co_return;
        if (index > 0) {
            appendLog("Trying fallback " + std::to_string(index + 1) + " of " + std::to_string(candidates.size()) +
                      ": " + candidate.displayTitle());
        }
        // A pause before a candidate on another node.
        if (index > 0 && !RouteSelection::sharesNodeCode(candidates[index - 1], candidate)) {
            try {
                auto pause = sleep((100.0 + environment_.failoverPauseJitter()) / 1000.0, stop);
                co_await pause;
            } catch (const CancellationError&) {
                co_return;
            }
            if (!isCurrentAttempt(attemptID, stop)) co_return;
        }

        // Steps 4.4 and 4.5: the configuration, then the helper's start.
        const double candidateStart = clock.uptime();
        const double deadline = candidateStart + options.timeBudget;
        PrivilegedTunnelStartResult started;
        try {
            auto configure = onPool([candidate, attemptID, candidateStart, deadline, stop, clock = environment_.clock] {
                return PrivilegedTunnelStartupTiming::timedStage(
                    PrivilegedTunnelStartupStage::applicationConfiguration, attemptID, deadline, *clock, [&] {
                        TunnelRuntimeFiles::createDirectory();
                        const std::filesystem::path url = TunnelRuntimeFiles::attemptConfigurationURL(attemptID);
                        const std::optional<std::string> interface = TunnelRuntimeFiles::defaultIPv4Interface(
                            candidateStart + kInterfaceDetectionSeconds, stop, *clock);
                        try {
                            TunnelRuntimeFiles::writeConfigurationFile(
                                url, SingBoxConfig::tunnelConfiguration(candidate, interface));
                        } catch (const std::exception&) {
                            TunnelRuntimeFiles::removeFile(url);
                            throw;
                        }
                        return url;
                    });
            });
            const std::filesystem::path url = co_await configure;
            if (!isCurrentAttempt(attemptID, stop)) {
                TunnelRuntimeFiles::removeFile(url);
                co_return;
            }
            auto start = onPool([helper = environment_.helper, clock = environment_.clock, url, payload,
                                 preparedRuntimeToken, attemptID, deadline, stop] {
                const std::string configuration = takeValidatedConfiguration(url);
                if (stop.stop_requested()) throw CancellationError{};
                return PrivilegedTunnelStartupTiming::timedStage(
                    PrivilegedTunnelStartupStage::helperRoundTrip, attemptID, deadline, *clock, [&] {
                        return helper->startTunnel(configuration, payload, preparedRuntimeToken, attemptID, deadline);
                    });
            });
            started = co_await start;
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        // Step 4.7: a failure of this candidate, or one that ends the run.
        if (failure) {
            if (connectionAttemptID != attemptID) co_return;
            if (TunnelStartupErrors::isCandidateFailure(failure)) {
                setRouteAvailability(RouteAvailability::unavailable, candidate.id);
                appendLog("Route attempt failed for " + candidate.displayTitle() + ": " + errorMessage(failure));
                failure = nullptr;
                continue;
            }
            auto stopped = stopWith("Connection attempt stopped: ", failure);
            co_await stopped;
            co_return;
        }
        // A tunnel of an attempt that is no longer current is stopped.
        if (!isCurrentAttempt(attemptID, stop)) {
            auto cleanup = cleanUpVPN(attemptID);
            (void)co_await cleanup;
            co_return;
        }

        // Step 4.6: the traffic gate.
        auto gate = runTrafficGate(candidate, attemptID, started.routeDeadlineUptime, candidateStart,
                                   options.diagnosticSelectedRouteOnly, stop);
        const TrafficGateResult verdict = co_await gate;
        if (verdict == TrafficGateResult::passed) {
            completeConnection(candidates.front(), candidate, options);
            co_return;
        }
        auto cleanup = cleanUpVPN(attemptID);
        const bool stopped = co_await cleanup;
        if (verdict == TrafficGateResult::stopped || !isCurrentAttempt(attemptID, stop)) co_return;
        if (!stopped) {
            failConnection(attemptID, true, "The unhealthy VPN process could not be stopped. Use Disconnect before retrying.");
            co_return;
        }
    }

    // Step 5: the plan is exhausted.
    {
        auto cleanup = cleanUpVPN(attemptID);
        (void)co_await cleanup;
    }
    if (!isCurrentAttempt(attemptID, stop)) co_return;
    if (options.switchingFromActiveRoute || options.keepsProtectionOnExhaustion) {
        std::optional<bool> protectionActive;
        try {
            auto question = isTunnelProtectionActive();
            protectionActive = co_await question;
        } catch (const std::exception&) {
        }
        if (!isCurrentAttempt(attemptID, stop)) co_return;
        if (!protectionActive) {
            failConnection(attemptID, true,
                           "VPN protection state could not be verified after candidate exhaustion. Use Disconnect "
                           "before retrying.");
        } else {
            failConnection(attemptID, *protectionActive, kNoPermittedRoute);
        }
    } else {
        auto release = releaseProtectionAfterFailedPlan();
        const bool restored = co_await release;
        if (!isCurrentAttempt(attemptID, stop)) co_return;
        failConnection(attemptID, !restored, kNoPermittedRoute);
    }
}

QCoro::Task<> AppState::stopConnectionAttempt(Uuid attemptID, std::optional<std::string> restorableRouteID,
                                              std::string line) {
    if (connectionAttemptID != attemptID) co_return;
    auto finish = finishConnectionAttempt(attemptID, std::move(restorableRouteID));
    co_await finish;
    appendLog(line);
}

void AppState::completeConnection(const RouteNode& first, const RouteNode& connected,
                                  const ConnectionPlanOptions& options) {
    // A free or rescue plan that moved to another node marks the selection
    // as chosen automatically; the first candidate itself never does, with
    // or without a node code.
    if (subscriptionServiceClass && connected.id != first.id) {
        const std::string serviceClass =
            unicode::lowercased(unicode::trimmingWhitespaceAndNewlines(*subscriptionServiceClass));
        if ((serviceClass == "free" || serviceClass == "rescue") && !RouteSelection::sharesNodeCode(first, connected)) {
            automaticCrossNodeSelection = true;
        }
    }
    if (options.persistsSuccessfulRoute) {
        setSelectedRouteID(connected.id);
        environment_.settings->set(savedRouteIDKey, connected.id);
        environment_.settings->set(savedAutomaticCrossNodeSelectionKey, automaticCrossNodeSelection);
    }
    setActiveRouteID(connected.id);
    setRouteAvailability(RouteAvailability::available, connected.id);
    setTunnelStatus(TunnelStatus::connected);
    activeMode = ConnectionMode::tun;
    connectionAttemptID.reset();
    connectionTask.reset();
    appendLog(std::string(options.switchingFromActiveRoute ? "Switched to" : "Connected through") + " " +
              connected.diagnosticDescription() + " after IP, DNS, and HTTPS checks.");
    restartTunnelHealthMonitor();
}

bool AppState::isCurrentAttempt(const Uuid& attemptID, const std::stop_token& stop) const {
    return connectionAttemptID == attemptID && !stop.stop_requested();
}

// ----- The traffic gate -----

QCoro::Task<AppState::TrafficGateResult> AppState::runTrafficGate(RouteNode candidate, Uuid attemptID,
                                                                  double routeDeadline, double candidateStart,
                                                                  bool diagnosticSelectedRouteOnly,
                                                                  std::stop_token stop) {
    const Clock& clock = *environment_.clock;
    appendLog("Tunnel helper ready for " + candidate.displayTitle() + " in " + elapsedText(candidateStart) + ".");
    restartProtectionLeaseMonitor();
    if (!isCurrentAttempt(attemptID, stop)) co_return TrafficGateResult::stopped;

    // The first check: inside the deadline, else in its grace, else none
    // (three failed checks of no time).
    double checkStart = clock.uptime();
    std::optional<double> window;
    std::string_view phase = "initial";
    if (diagnosticSelectedRouteOnly) {
        window = kDiagnosticWindow;
    } else if (routeDeadline - checkStart > 0) {
        window = std::min(routeDeadline - checkStart, kWindowCap);
    } else if (routeDeadline + kGraceSeconds - checkStart > 0) {
        appendLog("Tunnel helper is ready; using the bounded startup grace window.");
        window = std::min(routeDeadline + kGraceSeconds - checkStart, kWindowCap);
        phase = "grace";
    }
    TunnelHealthProbe::Result checks{};
    if (window) {
        auto run = runTunnelHealthChecks(*window, stop);
        checks = co_await run;
    }
    logTunnelHealth(checks, phase, candidate, checkStart);
    if (!isCurrentAttempt(attemptID, stop)) co_return TrafficGateResult::stopped;
    if (allPassed(checks)) co_return TrafficGateResult::passed;

    // At most one grace check more, while the grace lasts.
    checkStart = clock.uptime();
    if (!diagnosticSelectedRouteOnly && routeDeadline + kGraceSeconds - checkStart > 0) {
        appendLog("Tunnel startup made progress; allowing one bounded grace check.");
        auto run = runTunnelHealthChecks(std::min(routeDeadline + kGraceSeconds - checkStart, kWindowCap), stop);
        checks = co_await run;
        logTunnelHealth(checks, "grace", candidate, checkStart);
        if (!isCurrentAttempt(attemptID, stop)) co_return TrafficGateResult::stopped;
        if (allPassed(checks)) co_return TrafficGateResult::passed;
    }

    setRouteAvailability(RouteAvailability::unavailable, candidate.id);
    appendLog("Route failed independent traffic checks: " + TunnelHealthProbe::failedCheckList(checks) + ".");
    co_return TrafficGateResult::failed;
}

void AppState::logTunnelHealth(const TunnelHealthProbe::Result& checks, std::string_view phase,
                               const RouteNode& route, double checkStart) {
    std::string line = "Tunnel health " + std::string(phase) + " for " + route.displayTitle() + ": ";
    static constexpr std::array<std::string_view, 3> kKeys{"IP", "DNS", "HTTPS"};
    for (std::size_t index = 0; index < checks.size(); ++index) {
        line += std::string(kKeys[index]) + "=" + checkResultText(checks[index].succeeded, checks[index].durationSeconds) +
                ", ";
    }
    appendLog(line + "total=" + elapsedText(checkStart) + ".");
}

PoolCall<TunnelHealthProbe::Result> AppState::runTunnelHealthChecks(double timeout, std::stop_token stop) const {
    if (environment_.tunnelHealthCheck) {
        return onPool([check = environment_.tunnelHealthCheck, timeout, stop] { return check(timeout, stop); });
    }
    return onPool([probe = tunnelHealthProbe, timeout, stop] { return probe.run(timeout, stop); });
}

// ----- Finishing, cleaning up and failing an attempt -----

QCoro::Task<> AppState::finishConnectionAttempt(Uuid attemptID, std::optional<std::string> restorableRouteID) {
    if (connectionAttemptID != attemptID) co_return;
    // A status that cannot be read counts as no tunnel process.
    std::optional<std::int32_t> process;
    try {
        auto status = onPool([helper = environment_.helper] { return helper->tunnelStatus(kStatusTimeout); });
        process = co_await status;
    } catch (const std::exception&) {
        process.reset();
    }
    if (connectionAttemptID != attemptID) co_return;
    connectionAttemptID.reset();
    connectionTask.reset();

    if (process && restorableRouteID) {
        setActiveRouteID(std::move(restorableRouteID));
        setTunnelStatus(TunnelStatus::connected);
        activeMode = ConnectionMode::tun;
        restartTunnelHealthMonitor();
        restartProtectionLeaseMonitor();
        co_return;
    }
    setActiveRouteID(std::nullopt);
    // Asked on the main thread, bounded by its time-out.
    bool protectionActive = false;
    try {
        protectionActive = environment_.helper->tunnelProtectionStatus(kStatusTimeout);
    } catch (const std::exception&) {
    }
    if (protectionActive) {
        setTunnelStatus(TunnelStatus::failed);
        activeMode = ConnectionMode::tun;
        restartProtectionLeaseMonitor();
    } else {
        setTunnelStatus(TunnelStatus::disconnected);
        activeMode.reset();
    }
}

QCoro::Task<bool> AppState::cleanUpVPN(Uuid attemptID) {
    std::exception_ptr failure;
    bool stopped = false;
    try {
        auto request = onPool([helper = environment_.helper, attemptID] {
            return helper->performVersionCheckedBooleanRequest(PrivilegedHelperClient::requestStopTunnelForAttempt(attemptID),
                                                               kStopTunnelTimeout);
        });
        stopped = co_await request;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (failure) {
        appendLog("VPN cleanup failed: " + errorMessage(failure));
        co_return false;
    }
    co_return stopped;
}

void AppState::failConnection(const Uuid& attemptID, bool keepProtection, std::string_view message) {
    if (connectionAttemptID != attemptID) return;
    connectionAttemptID.reset();
    connectionTask.reset();
    setTunnelStatus(TunnelStatus::failed);
    if (keepProtection) {
        activeMode = ConnectionMode::tun;
    } else {
        activeMode.reset();
    }
    setActiveRouteID(std::nullopt);
    if (keepProtection) {
        restartProtectionLeaseMonitor();
    } else {
        protectionLeaseMonitor.cancel();
        protectionLeaseMonitor.reset();
    }
    appendLog(message);
}

QCoro::Task<bool> AppState::releaseProtectionAfterFailedPlan() {
    protectionLeaseMonitor.cancel();
    protectionLeaseMonitor.reset();
    std::exception_ptr failure;
    try {
        auto disconnect = onPool([helper = environment_.helper] {
            TunnelRuntimeFiles::disconnectHelperAndRemoveConfiguration(*helper, kDisconnectTimeout);
        });
        co_await disconnect;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (!failure) {
        appendLog("Direct internet was restored after the connection plan was exhausted.");
        co_return true;
    }
    // Protection that cannot be confirmed off counts as still active.
    bool protectionActive = true;
    try {
        auto question = onPool([helper = environment_.helper] { return helper->tunnelProtectionStatus(kStatusTimeout); });
        protectionActive = co_await question;
    } catch (const std::exception&) {
    }
    if (protectionActive) {
        appendLog("VPN protection could not be released after the failed connection plan. Use Disconnect to restore "
                  "direct internet. " +
                  errorMessage(failure));
        co_return false;
    }
    appendLog("Direct internet is available although VPN cleanup reported an error: " + errorMessage(failure));
    co_return true;
}

// ----- The monitors (app_state_monitors.cpp) -----

void AppState::restartTunnelHealthMonitor() {
    replaceTask(tunnelHealthMonitor,
                [](AppState& state, std::stop_token stop) { return state.monitorTunnelHealth(std::move(stop)); });
}

void AppState::restartProtectionLeaseMonitor() {
    replaceTask(protectionLeaseMonitor,
                [](AppState& state, std::stop_token stop) { return state.maintainProtectionLease(std::move(stop)); });
}

}  // namespace tarnel
