#include "helper/protection/kill_switch_watchdog.hpp"

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "common/base/error.hpp"
#include "common/process/runtime_error.hpp"

namespace tarnel {

namespace {

std::chrono::steady_clock::duration periodOf(const KillSwitchWatchdog::Configuration& configuration) {
    double seconds = configuration.periodSeconds;
    if (!(seconds > 0.0 && seconds <= 86400.0)) seconds = KillSwitchWatchdog::defaultPeriodSeconds;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

void KillSwitchWatchdog::tick(const Configuration& configuration) noexcept {
    std::optional<PacketFilterKillSwitch> killSwitch;
    try {
        killSwitch.emplace(configuration.makeKillSwitch());
    } catch (...) {
        PacketFilterKillSwitch::log().error("kill_switch_watchdog_failed error=" +
                                            errorMessage(std::current_exception()));
        return;
    }

    try {
        const auto guard = PacketFilterKillSwitch::acquireLock();
        killSwitch->expireStaleState();
    } catch (...) {
        PacketFilterKillSwitch::log().error("kill_switch_watchdog_failed error=" +
                                            errorMessage(std::current_exception()));
        ignoringFailure([&] { killSwitch->clearState(); });
    }

    try {
        if (!killSwitch->tailscaleInterfaceLost()) return;
        PacketFilterKillSwitch::log().error("tailscale_interface_lost disconnecting_tarnel=true");
        configuration.stopTunnel();
        killSwitch->deactivate();
    } catch (...) {
        const auto failure = std::current_exception();
        PacketFilterKillSwitch::log().error("tailscale_interface_check_failed error=" + errorMessage(failure));
        if (tunnelMayStillRun(failure)) {
            // The tunnel may still carry traffic: keep its protection applied.
            ignoringFailure([&] { killSwitch->restoreAfterLaunch(); });
        } else {
            ignoringFailure([&] { killSwitch->clearState(); });
        }
    }
}

KillSwitchWatchdog::KillSwitchWatchdog(Configuration configuration)
    : configuration_(std::move(configuration)), thread_([this] { run(); }) {}

KillSwitchWatchdog::~KillSwitchWatchdog() {
    {
        const std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void KillSwitchWatchdog::run() {
    // steady_clock is CLOCK_MONOTONIC: wall-clock steps move no tick.
    const auto period = periodOf(configuration_);
    auto next = std::chrono::steady_clock::now() + period;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (wake_.wait_until(lock, next, [this] { return stopping_; })) return;
        lock.unlock();
        tick(configuration_);
        lock.lock();
        next += period;
        // A tick that overran its period is followed at once by one more,
        // never by a burst of the ones it missed.
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;
    }
}

bool KillSwitchWatchdog::start(Configuration configuration) {
    static std::mutex startLock;
    // The process's one watchdog; it runs, and is kept, until the process ends.
    static KillSwitchWatchdog* running = nullptr;
    const std::lock_guard guard(startLock);
    if (running != nullptr) return false;
    running = new KillSwitchWatchdog(std::move(configuration));
    return true;
}

}  // namespace tarnel
