// Connect, Disconnect and the small window actions around them.

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "app/catalog/route_selection.hpp"
#include "app/catalog/unicode_text.hpp"
#include "app/state/app_state.hpp"
#include "app/tunnel/connect_support.hpp"
#include "app/tunnel/privileged_helper_installer.hpp"
#include "app/tunnel/tunnel_runtime_files.hpp"
#include "common/base/error.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/vpn_service_list.hpp"

namespace tarnel {

namespace {

constexpr std::string_view kMakersVPNBundleIdentifier = "app.tarnel.ios";
constexpr std::string_view kMakersVPNConnected =
    "Tarnel из TestFlight или App Store уже подключена. Отключите её перед запуском Tarnel Direct.";
constexpr std::string_view kStateUnverifiedNotice =
    "The privileged VPN state could not be verified. Use Disconnect before retrying.";

// Time-outs of Connect's and Disconnect's helper calls.
constexpr double kCancelStartTimeout = 0.75;
constexpr double kStatusTimeout = 2.0;
constexpr double kSystemProxyTimeout = 8.0;
constexpr double kDisconnectTimeout = 8.0;

// A client failure after which the helper may have changed the system proxy
// without the answer reaching us.
bool answerMayBeLost(const std::exception& error) {
    const auto* client = dynamic_cast<const PrivilegedHelperClientError*>(&error);
    if (client == nullptr) return false;
    using Case = PrivilegedHelperClientError::Case;
    const Case errorCase = client->errorCase();
    return errorCase == Case::timedOut || errorCase == Case::connectionInterrupted ||
           errorCase == Case::connectionInvalidated;
}

}  // namespace

AppState::ConnectOptions AppState::windowConnectOptions() const {
    ConnectOptions options;
    options.selectedRouteOnly = selectedRouteOnlyDiagnostic;
    options.extendedGate = selectedRouteOnlyDiagnostic;
    return options;
}

bool AppState::connect(const std::optional<RouteNode>& given, const ConnectOptions& options) {
    setConnectionNotice("");
    std::optional<RouteNode> route = given;
    if (!route) {
        if (const RouteNode* selected = selectedRoute()) route = *selected;
    }
    if (!route) {
        appendLog("No selected route.");
        return false;
    }
    if (connectionMode_ == ConnectionMode::tun && !checkCompetingVPN()) return false;

    // A start still in flight is superseded: the helper drops it, and its
    // task stops at its next check, as its attempt is no longer current.
    if (connectionAttemptID) {
        try {
            environment_.helper->performBooleanRequest(
                PrivilegedHelperClient::requestCancelTunnelStart(*connectionAttemptID), kCancelStartTimeout, false);
        } catch (const std::exception&) {
            // The new attempt goes on whatever became of the old one.
        }
    }
    connectionTask.cancel();
    tunnelHealthMonitor.cancel();
    tunnelHealthMonitor.reset();
    connectionAttemptID = options.attemptID.value_or(Uuid::random());

    const std::optional<std::string> previousRoute = activeRouteID_;
    const TunnelStatus previousStatus = tunnelStatus_;
    setTunnelStatus(TunnelStatus::connecting);
    activeMode = connectionMode_;
    if (connectionMode_ == ConnectionMode::proxy) return connectProxy(*route);
    return connectVPN(*route, options, previousRoute, previousStatus);
}

bool AppState::connectProxy(const RouteNode& route) {
    connectionAttemptID.reset();
    try {
        const std::filesystem::path configuration = environment_.writeProxyConfiguration
                                                        ? environment_.writeProxyConfiguration(route)
                                                        : TunnelRuntimeFiles::writeProxyConfiguration(route);
        proxyProcess->start(configuration);
    } catch (const std::exception& error) {
        return failConnect(error, false);
    }

    if (manageSystemProxy_) {
        try {
            PrivilegedHelperContract::validateNetworkServiceName(systemProxyService_);
            (void)environment_.ensureHelper();
            environment_.helper->enableSystemProxy(systemProxyService_, kSystemProxyTimeout, true);
            setSystemProxyEnabled(true);
        } catch (const std::exception& error) {
            // No connected state on a proxy that the system does not use.
            proxyProcess->terminate();
            setTunnelStatus(TunnelStatus::failed);
            activeMode.reset();
            appendLog("System proxy enable failed; stopped sing-box to avoid a false connected state. " +
                      errorMessage(error));
            // The helper may have enabled it although its answer was lost.
            if (answerMayBeLost(error)) {
                try {
                    environment_.helper->disableSystemProxy(kSystemProxyTimeout, false);
                    appendLog("Disabled system proxy on " + systemProxyService_ + ".");
                } catch (const std::exception& disableError) {
                    appendLog("System proxy disable failed: " + errorMessage(disableError));
                }
            }
            return false;
        }
    }

    setTunnelStatus(TunnelStatus::connected);
    setActiveRouteID(route.id);
    setRouteAvailability(RouteAvailability::available, route.id);
    appendLog("Started proxy fallback for " + route.diagnosticDescription() + ". System proxy " +
              (systemProxyEnabled_ ? "enabled" : "not changed") + " on " + systemProxyService_ + ".");
    replaceTask(tunnelHealthMonitor,
                [](AppState& state, std::stop_token stop) { return state.monitorProxyHealth(std::move(stop)); });
    return true;
}

bool AppState::connectVPN(const RouteNode& route, const ConnectOptions& options,
                          const std::optional<std::string>& previousRoute, TunnelStatus previousStatus) {
    const PrivilegedHelperOperations& helper = *environment_.helper;
    PrivilegedHelperIdentity identity;
    try {
        identity = environment_.ensureHelper();
    } catch (const std::exception& error) {
        return failConnect(error, false);
    }
    appendLog("Privileged helper version " + std::to_string(identity.protocolVersion) + " is live at PID " +
              std::to_string(identity.processIdentifier) + ".");

    PrivilegedTunnelRuntimeSnapshot snapshot;
    try {
        snapshot.processIdentifier = helper.tunnelStatus(kStatusTimeout);
        snapshot.protectionActive = helper.tunnelProtectionStatus(kStatusTimeout);
    } catch (const std::exception& error) {
        return failConnect(error, true);
    }
    const bool runtimeFound = snapshot.processIdentifier.has_value() || snapshot.protectionActive;
    const bool protectedReplacement = previousStatus == TunnelStatus::connected || runtimeFound;
    if (runtimeFound && !previousRoute) {
        appendLog("Found an existing privileged VPN runtime; treating this Connect as a protected replacement.");
    }

    if (systemProxyEnabled_) {
        try {
            helper.disableSystemProxy(kSystemProxyTimeout, false);
            setSystemProxyEnabled(false);
        } catch (const std::exception& error) {
            return failConnect(error, true);
        }
    }

    std::vector<RouteNode> plan =
        RouteSelection::failoverCandidates(routes_, route.id, subscriptionServiceClass, options.selectedRouteOnly);
    if (plan.empty()) {
        connectionAttemptID.reset();
        connectionTask.reset();
        adoptPrivilegedRuntime(snapshot);
        appendLog("No connection candidates are available.");
        return false;
    }
    if (plan.size() >= 2) appendLog("Signed failover plan prepared across permitted transports and nodes.");
    startConnectionPlan(std::move(plan), *connectionAttemptID, previousRoute, protectedReplacement, options);
    return true;
}

void AppState::startConnectionPlan(std::vector<RouteNode> plan, const Uuid& attemptID,
                                   const std::optional<std::string>& previousRoute, bool protectedReplacement,
                                   const ConnectOptions& options) {
    ConnectionPlanRequest request{std::move(plan), attemptID, {}};
    request.options.restorableRouteID = previousRoute;
    request.options.timeBudget = options.timeBudget;
    request.options.routeTestSessionID = options.routeTestSession;
    request.options.switchingFromActiveRoute = protectedReplacement;
    request.options.diagnosticSelectedRouteOnly = options.extendedGate;
    request.options.persistsSuccessfulRoute = options.interactive;
    request.options.keepsProtectionOnExhaustion = options.routeTest;
    replaceTask(connectionTask, [request = std::move(request), run = environment_.connectionPlan](
                                    AppState& state, std::stop_token stop) -> QCoro::Task<> {
        if (run) return run(state, request, std::move(stop));
        return state.runConnectionPlan(request.candidates, request.attemptID, request.options, std::move(stop));
    });
}

bool AppState::failConnect(const std::exception& error, bool stateUnverified) {
    connectionAttemptID.reset();
    connectionTask.reset();
    if (connectionMode_ == ConnectionMode::proxy) {
        setTunnelStatus(TunnelStatus::failed);
        setActiveRouteID(std::nullopt);
    } else {
        std::optional<PrivilegedTunnelRuntimeSnapshot> snapshot;
        try {
            snapshot.emplace();
            snapshot->processIdentifier = environment_.helper->tunnelStatus(kStatusTimeout);
            snapshot->protectionActive = environment_.helper->tunnelProtectionStatus(kStatusTimeout);
        } catch (const std::exception&) {
            snapshot.reset();
        }
        if (snapshot) {
            adoptPrivilegedRuntime(*snapshot);
        } else {
            setTunnelStatus(TunnelStatus::failed);
            setActiveRouteID(std::nullopt);
            if (stateUnverified) {
                // Protection may be active: its lease stays renewed until Disconnect.
                activeMode = ConnectionMode::tun;
                restartProtectionLeaseMonitor();
                setConnectionNotice(std::string(kStateUnverifiedNotice));
            } else {
                activeMode.reset();
            }
        }
    }
    // The route is not to blame for the helper's, the installer's or the
    // runtime's failures: none is marked here.
    if (dynamic_cast<const PrivilegedHelperInstallError*>(&error) != nullptr) setConnectionNotice(errorMessage(error));
    appendLog("Connect failed: " + errorMessage(error));
    return false;
}

void AppState::adoptPrivilegedRuntime(const PrivilegedTunnelRuntimeSnapshot& snapshot) {
    setTunnelStatus(TunnelStatus::failed);
    setActiveRouteID(std::nullopt);
    if (snapshot.processIdentifier) {
        activeMode = ConnectionMode::tun;
        if (snapshot.protectionActive) {
            restartProtectionLeaseMonitor();
        } else {
            // No kill switch, so no lease to renew.
            protectionLeaseMonitor.cancel();
            protectionLeaseMonitor.reset();
        }
        appendLog(
            "A privileged VPN process is still running, but its route identity is unverified. Use Connect to "
            "replace it or Disconnect to stop it.");
    } else if (snapshot.protectionActive) {
        activeMode = ConnectionMode::tun;
        restartProtectionLeaseMonitor();
        appendLog("VPN protection remains active without a running tunnel. Use Disconnect before retrying.");
    } else {
        activeMode.reset();
        protectionLeaseMonitor.cancel();
        protectionLeaseMonitor.reset();
    }
}

bool AppState::checkCompetingVPN() {
    std::string list;
    try {
        list = environment_.networkConnectionList();
    } catch (const std::exception& error) {
        const std::string text = "Не удалось проверить другие VPN: " + errorMessage(error);
        setConnectionNotice(text);
        appendLog(text);
        return false;
    }
    for (const auto& service : PrivilegedHelperContract::connectedVPNServices(list)) {
        if (service.bundleIdentifier == kMakersVPNBundleIdentifier) {
            setConnectionNotice(std::string(kMakersVPNConnected));
            appendLog(kMakersVPNConnected);
            return false;
        }
    }
    return true;
}

// ----- Window actions -----

void AppState::selectRoute(const RouteNode& route) {
    if (routeTestProgress_) return;
    setSelectedRouteID(route.id);
    automaticCrossNodeSelection = false;
    environment_.settings->set(savedRouteIDKey, route.id);
    environment_.settings->set(savedAutomaticCrossNodeSelectionKey, false);
    appendLog("Selected " + route.diagnosticDescription() + ".");
}

void AppState::pasteSubscriptionFromClipboard() {
    std::optional<std::string> clipboard;
    if (environment_.clipboardText) clipboard = environment_.clipboardText();
    std::string text = unicode::trimmingWhitespaceAndNewlines(clipboard.value_or(""));
    if (text.empty()) {
        appendLog("Clipboard does not contain a subscription.");
        return;
    }
    if (!isImporting_) {
        setSubscriptionInput(std::move(text));
        importSubscription(false, false);
        return;
    }
    // One import at a time: the paste waits, without blocking, for the
    // running one to end.
    startTask([text = std::move(text)](AppState& state, std::stop_token) { return state.importPastedText(text); });
}

QCoro::Task<> AppState::importPastedText(std::string text) {
    co_await untilNoImportRuns();
    setSubscriptionInput(std::move(text));
    importSubscription(false, false);
}

// ----- Disconnect -----

void AppState::disconnect() {
    if (routeTestSessionID) {
        routeTestTask.cancel();
        finishRouteTestSession();
        appendLog("Route test stopped.");
    }
    stopConnection();
}

void AppState::stopConnection() {
    setConnectionNotice("");
    const std::optional<Uuid> stoppedAttempt = std::exchange(connectionAttemptID, std::nullopt);
    for (TaskSlot* slot : {&connectionTask, &tunnelHealthMonitor, &protectionLeaseMonitor}) {
        slot->cancel();
        slot->reset();
    }
    const ConnectionMode mode = activeMode.value_or(connectionMode_);
    const PrivilegedHelperOperations& helper = *environment_.helper;
    try {
        if (mode == ConnectionMode::proxy) {
            if (systemProxyEnabled_) {
                helper.disableSystemProxy(kSystemProxyTimeout, false);
                setSystemProxyEnabled(false);
                appendLog("Disabled system proxy on " + systemProxyService_ + ".");
            }
            proxyProcess->terminate();
            appendLog("Stopped proxy sing-box process.");
        } else {
            if (stoppedAttempt) {
                try {
                    helper.performBooleanRequest(PrivilegedHelperClient::requestCancelTunnelStart(*stoppedAttempt),
                                                 kCancelStartTimeout, false);
                } catch (const std::exception&) {
                    // The disconnect below stops whatever the start left.
                }
            }
            TunnelRuntimeFiles::disconnectHelperAndRemoveConfiguration(helper, kDisconnectTimeout);
            appendLog("Stopped TUN sing-box process.");
        }
    } catch (const std::exception& error) {
        appendLog("Disconnect failed: " + errorMessage(error));
        setTunnelStatus(TunnelStatus::failed);
        try {
            if (helper.tunnelProtectionStatus(kStatusTimeout)) {
                activeMode = ConnectionMode::tun;
                restartProtectionLeaseMonitor();
            }
        } catch (const std::exception&) {
            // Unknown: the state stays as the failure left it.
        }
        return;
    }
    setTunnelStatus(TunnelStatus::disconnected);
    activeMode.reset();
    setActiveRouteID(std::nullopt);
}

}  // namespace tarnel
