// The health, lease and proxy monitors: loops on the main thread whose
// blocking questions run on the pool. Each ends quietly once stopped or once
// the state it watches no longer holds, checked after every await; a helper
// that does not answer is never an error that leaves a loop.

#include <exception>
#include <string>
#include <utility>

#include "app/state/app_state.hpp"
#include "common/base/error.hpp"
#include "common/contract/vpn_service_list.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

namespace {

constexpr double kHealthPeriod = 10.0;
constexpr double kLeasePeriod = 20.0;
constexpr double kStatusTimeout = 2.0;
constexpr double kLeaseRenewalTimeout = 2.0;
// The third failure in a row of the lease's renewal fails the state.
constexpr int kLeaseFailuresReported = 3;

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text;
}

}  // namespace

void AppState::failConnectionHealth(ConnectionMode mode, std::string_view line) {
    setTunnelStatus(TunnelStatus::failed);
    activeMode = mode;
    if (const RouteNode* route = activeRoute()) setRouteAvailability(RouteAvailability::unavailable, route->id);
    appendLog(line);
    // The monitor that fails is the one this slot holds; the lease monitor
    // keeps the kill switch renewed until Disconnect.
    tunnelHealthMonitor.reset();
}

QCoro::Task<> AppState::monitorTunnelHealth(std::stop_token stop) {
    const auto watching = [this, &stop] {
        return !stop.stop_requested() && tunnelStatus_ == TunnelStatus::connected &&
               activeMode == ConnectionMode::tun;
    };
    bool lastRoundPassed = true;
    while (!stop.stop_requested()) {
        try {
            co_await sleep(kHealthPeriod, stop);
        } catch (const CancellationError&) {
            co_return;
        }
        if (!watching()) co_return;

        auto status = onPool([helper = environment_.helper] {
            try {
                return helper->tunnelStatus(kStatusTimeout).has_value();
            } catch (const std::exception&) {
                return false;  // unanswered counts as stopped
            }
        });
        const bool running = co_await status;
        if (!watching()) co_return;
        if (!running) {
            failConnectionHealth(ConnectionMode::tun, "VPN process stopped unexpectedly. Status changed to Failed.");
            co_return;
        }

        auto competing = onPool([list = environment_.networkConnectionList] {
            try {
                for (const auto& service : PrivilegedHelperContract::connectedVPNServices(list())) {
                    if (service.bundleIdentifier == "app.tarnel.ios") return true;
                }
            } catch (const std::exception&) {
                // An unreadable list counts as no other VPN.
            }
            return false;
        });
        const bool otherVPN = co_await competing;
        if (!watching()) co_return;
        if (otherVPN) {
            failConnectionHealth(ConnectionMode::tun,
                                 "Another Tarnel VPN connected while Tarnel Direct was active. Status changed to "
                                 "Failed; disconnect one client.");
            co_return;
        }

        auto round = runTunnelHealthChecks(tunnelHealthProbe.timeoutSeconds, stop);
        const TunnelHealthProbe::Result checks = co_await round;
        if (!watching()) co_return;
        const std::vector<std::string> failed = TunnelHealthProbe::failedCheckNames(checks);
        if (failed.empty()) {
            lastRoundPassed = true;
        } else if (lastRoundPassed) {
            appendLog("Traffic health check failed once (" + joined(failed) + "); retrying before changing status.");
            lastRoundPassed = false;
        } else {
            failConnectionHealth(ConnectionMode::tun, "VPN traffic failed two consecutive health checks (" +
                                                          joined(failed) +
                                                          "). Status changed to Failed; Disconnect restores direct "
                                                          "internet.");
            co_return;
        }
    }
}

QCoro::Task<> AppState::maintainProtectionLease(std::stop_token stop) {
    // A failed tunnel keeps its lease renewed: protection stays until Disconnect.
    const auto needed = [this, &stop] {
        return !stop.stop_requested() && activeMode == ConnectionMode::tun &&
               tunnelStatus_ != TunnelStatus::disconnected;
    };
    int consecutiveFailures = 0;
    bool reported = false;
    while (needed()) {
        auto renewal = onPool([helper = environment_.helper] {
            try {
                helper->renewTunnelProtectionLease(kLeaseRenewalTimeout, true);
                return true;
            } catch (const std::exception&) {
                return false;
            }
        });
        const bool renewed = co_await renewal;
        if (!needed()) co_return;
        if (renewed) {
            if (reported) appendLog("VPN protection heartbeat recovered.");
            consecutiveFailures = 0;
            reported = false;
        } else if (++consecutiveFailures >= kLeaseFailuresReported && !reported) {
            setTunnelStatus(TunnelStatus::failed);
            appendLog(
                "VPN protection heartbeat failed repeatedly; the safety block will release automatically if "
                "contact is not restored.");
            reported = true;
        }
        try {
            co_await sleep(kLeasePeriod, stop);
        } catch (const CancellationError&) {
            co_return;
        }
    }
}

QCoro::Task<> AppState::monitorProxyHealth(std::stop_token stop) {
    const auto watching = [this, &stop] {
        return !stop.stop_requested() && tunnelStatus_ == TunnelStatus::connected &&
               activeMode == ConnectionMode::proxy;
    };
    bool lastRoundPassed = true;
    while (!stop.stop_requested()) {
        try {
            co_await sleep(kHealthPeriod, stop);
        } catch (const CancellationError&) {
            co_return;
        }
        if (!watching()) co_return;
        if (!proxyProcess->isRunning()) {
            failConnectionHealth(ConnectionMode::proxy, "Proxy process stopped unexpectedly. Status changed to Failed.");
            co_return;
        }

        auto probe = onPool([process = proxyProcess] { return process->probeProxy(); });
        const bool passed = co_await probe;
        if (!watching()) co_return;
        if (passed) {
            lastRoundPassed = true;
        } else if (lastRoundPassed) {
            appendLog("Proxy traffic check failed once; retrying before changing status.");
            lastRoundPassed = false;
        } else {
            failConnectionHealth(ConnectionMode::proxy,
                                 "Proxy traffic failed two consecutive checks. Status changed to Failed; Disconnect "
                                 "restores direct internet.");
            co_return;
        }
    }
}

}  // namespace tarnel
