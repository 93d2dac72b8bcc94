#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "helper/protection/packet_filter_kill_switch.hpp"

namespace tarnel {

// Looks at the kill switch without waiting for the application: every period
// (5 s) it tears down a protection whose lease has lapsed, and in Tailscale
// mode, when Tailscale's tunnel interface has gone while protection is
// wanted, it stops this system's tunnel and turns protection off.
//
// Ticks run one after another on the watchdog's own thread, timed on the
// monotonic clock: the first one period after the start, then every period;
// a tick that runs longer than a period delays the next. A tick keeps
// nothing in memory: it builds a fresh kill switch, and works only through
// the record, the packet filter and the tunnel stopper. It takes the
// kill-switch lock inside each kill-switch step and never the runtime's
// operation lock, so that calls from the application can run between its
// steps.
//
// The helper runs one watchdog for its whole life (start); tests also run
// their own instances, which stop when they end.
class KillSwitchWatchdog {
public:
    static constexpr double defaultPeriodSeconds = 5.0;

    struct Configuration {
        // A fresh kill switch over the helper's runtime directory, with a new
        // DNS override of its own; called once per tick.
        std::function<PacketFilterKillSwitch()> makeKillSwitch;
        // Stops the helper's tunnel (the runtime's tunnel stop, without the
        // operation lock); throws the stop's PrivilegedRuntimeError.
        std::function<void()> stopTunnel;
        // Seconds between ticks; a value that is not in (0, 86400] is taken
        // as the default.
        double periodSeconds = defaultPeriodSeconds;
    };

    // Starts a timer thread that ticks with this configuration until the
    // object ends.
    explicit KillSwitchWatchdog(Configuration configuration);
    // Stops the timer, waiting for a tick that is running to end.
    ~KillSwitchWatchdog();
    KillSwitchWatchdog(const KillSwitchWatchdog&) = delete;
    KillSwitchWatchdog& operator=(const KillSwitchWatchdog&) = delete;

    // Starts the process's one watchdog, which runs until the process ends.
    // Only the first call in the process starts it; later calls change
    // nothing and answer false. Never fails.
    static bool start(Configuration configuration);

    // One tick: the expiry check (a failure is logged as
    // "kill_switch_watchdog_failed error=<description>" and followed by a
    // forced clearing), then the Tailscale-interface check ("tailscale_interface_lost
    // disconnecting_tarnel=true", the tunnel stop and deactivation; a failure
    // is logged as "tailscale_interface_check_failed error=<description>" and
    // followed by reconciliation when the tunnel may still run, else by a
    // forced clearing). Errors are logged, never passed on.
    static void tick(const Configuration& configuration) noexcept;

private:
    void run();

    Configuration configuration_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tarnel
