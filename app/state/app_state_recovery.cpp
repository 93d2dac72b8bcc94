// Launch recovery: a tunnel or a kill switch that the helper kept from an
// earlier run of the application is shown as failed, never claimed as this
// run's connection, since its route cannot be proved.

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "app/state/app_state.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

namespace {

constexpr double kProbeTimeout = 0.75;
constexpr double kProbeBackoff = 0.25;
constexpr int kLaunchProbeAttempts = 3;

}  // namespace

AppTaskBody launchRecoveryTask() {
    return [](AppState& state, std::stop_token stop) { return state.recoverPrivilegedStateAtLaunch(std::move(stop)); };
}

QCoro::Task<PrivilegedTunnelRuntimeSnapshot> AppState::probePrivilegedRuntime(int attempts, std::stop_token stop) {
    if (attempts < 1) throw PrivilegedHelperClientError(PrivilegedHelperClientError::Case::timedOut);
    for (int attempt = 1;; ++attempt) {
        auto probe = onPool([helper = environment_.helper] {
            PrivilegedTunnelRuntimeSnapshot snapshot;
            snapshot.processIdentifier = helper->tunnelStatus(kProbeTimeout);
            snapshot.protectionActive = helper->tunnelProtectionStatus(kProbeTimeout);
            return snapshot;
        });
        std::exception_ptr failure;
        try {
            co_return co_await probe;
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        if (attempt >= attempts) std::rethrow_exception(failure);
        co_await sleep(kProbeBackoff * attempt, stop);
    }
}

QCoro::Task<> AppState::recoverPrivilegedStateAtLaunch(std::stop_token stop) {
    std::optional<PrivilegedTunnelRuntimeSnapshot> snapshot;
    try {
        auto probe = probePrivilegedRuntime(kLaunchProbeAttempts, stop);
        snapshot = co_await probe;
    } catch (const CancellationError&) {
        co_return;
    } catch (const std::exception&) {
        // Unavailable: Connect checks the helper again before it starts.
    }
    // A Connect begun meanwhile has asked the helper itself and owns the
    // state, also the active route that an answer would clear.
    if (stop.stop_requested() || connectionAttemptID || tunnelStatus_ == TunnelStatus::connected) co_return;

    if (!snapshot) {
        setActiveRouteID(std::nullopt);
        appendLog("Privileged VPN state was unavailable at launch; Connect will verify it before starting.");
        co_return;
    }
    if (!snapshot->processIdentifier && !snapshot->protectionActive) {
        if (tunnelStatus_ == TunnelStatus::disconnected) {
            activeMode.reset();
            setActiveRouteID(std::nullopt);
        }
        co_return;
    }
    setTunnelStatus(TunnelStatus::failed);
    activeMode = ConnectionMode::tun;
    setActiveRouteID(std::nullopt);
    if (snapshot->protectionActive) restartProtectionLeaseMonitor();
    if (snapshot->processIdentifier) {
        appendLog("Found privileged VPN process " + std::to_string(*snapshot->processIdentifier) +
                  " after app launch, but its signed route identity cannot be verified. Use Connect to replace it "
                  "or Disconnect to stop it.");
    } else {
        appendLog("VPN protection is active without a running tunnel. Use Disconnect before reconnecting.");
    }
}

}  // namespace tarnel
