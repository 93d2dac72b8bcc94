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

// A health monitor's rounds: a failed round after a passed one is retried,
// a second failed round in a row fails the connection.
enum class Round { passed, failedOnce, failedTwice };
class RoundStreak {
public:
    Round record(bool passed) {
        const bool lastPassed = std::exchange(lastPassed_, passed);
        if (passed) return Round::passed;
        return lastPassed ? Round::failedOnce : Round::failedTwice;
    }

private:
    bool lastPassed_ = true;
};

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

bool AppState::watchesConnection(ConnectionMode mode, const std::stop_token& stop) const {
    return !stop.stop_requested() && tunnelStatus_ == TunnelStatus::connected && activeMode == mode;
}

QCoro::Task<bool> AppState::nextHealthRound(ConnectionMode mode, std::stop_token stop) {
    try {
        co_await sleep(kHealthPeriod, stop);
    } catch (const CancellationError&) {
        co_return false;
    }
    co_return watchesConnection(mode, stop);
}

QCoro::Task<> AppState::monitorTunnelHealth(std::stop_token stop) {
    constexpr ConnectionMode mode = ConnectionMode::tun;
    RoundStreak streak;
    while (true) {
        auto due = nextHealthRound(mode, stop);
        if (!co_await due) co_return;

        auto status = onPool([helper = environment_.helper] {
            try {
                return helper->tunnelStatus(kStatusTimeout).has_value();
            } catch (const std::exception&) {
                return false;  // unanswered counts as stopped
            }
        });
        const bool running = co_await status;
        if (!watchesConnection(mode, stop)) co_return;
        if (!running) {
            failConnectionHealth(mode, "VPN process stopped unexpectedly. Status changed to Failed.");
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
        if (!watchesConnection(mode, stop)) co_return;
        if (otherVPN) {
            failConnectionHealth(mode,
                                 "Another Tarnel VPN connected while Tarnel Direct was active. Status changed to "
                                 "Failed; disconnect one client.");
            co_return;
        }

        auto round = runTunnelHealthChecks(tunnelHealthProbe.timeoutSeconds, stop);
        const TunnelHealthProbe::Result checks = co_await round;
        if (!watchesConnection(mode, stop)) co_return;
        const std::string failed = TunnelHealthProbe::failedCheckList(checks);
        switch (streak.record(failed.empty())) {
            case Round::passed:
                break;
            case Round::failedOnce:
                appendLog("Traffic health check failed once (" + failed + "); retrying before changing status.");
                break;
            case Round::failedTwice:
                failConnectionHealth(mode, "VPN traffic failed two consecutive health checks (" + failed +
                                               "). Status changed to Failed; Disconnect restores direct internet.");
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
    constexpr ConnectionMode mode = ConnectionMode::proxy;
    RoundStreak streak;
    while (true) {
        auto due = nextHealthRound(mode, stop);
        if (!co_await due) co_return;
        if (!proxyProcess->isRunning()) {
            failConnectionHealth(mode, "Proxy process stopped unexpectedly. Status changed to Failed.");
            co_return;
        }

        auto probe = onPool([process = proxyProcess] { return process->probeProxy(); });
        const bool passed = co_await probe;
        if (!watchesConnection(mode, stop)) co_return;
        switch (streak.record(passed)) {
            case Round::passed:
                break;
            case Round::failedOnce:
                appendLog("Proxy traffic check failed once; retrying before changing status.");
                break;
            case Round::failedTwice:
                failConnectionHealth(mode,
                                     "Proxy traffic failed two consecutive checks. Status changed to Failed; "
                                     "Disconnect restores direct internet.");
                co_return;
        }
    }
}

}  // namespace tarnel
