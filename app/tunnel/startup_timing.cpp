#include "app/tunnel/startup_timing.hpp"

#include "app/tunnel/tailscale_compatibility.hpp"

namespace tarnel::PrivilegedTunnelStartupTiming {

std::string timedRuntimePreparation(const PrivilegedHelperOperations& helper, const Uuid& attemptID,
                                    double deadlineUptime, const Clock& clock) {
    return timedStage(PrivilegedTunnelStartupStage::applicationRuntimePreparation, attemptID, deadlineUptime, clock,
                      [&] { return helper.prepareRuntime(attemptID, deadlineUptime); });
}

std::optional<std::string> timedTailscaleSnapshot(const Uuid& attemptID, double deadlineUptime,
                                                  const std::stop_token& stop, const Clock& clock) {
    return timedStage(PrivilegedTunnelStartupStage::applicationTailscaleSnapshot, attemptID, deadlineUptime, clock,
                      [&] { return TailscaleCompatibility::snapshot(deadlineUptime, stop, clock); });
}

}  // namespace tarnel::PrivilegedTunnelStartupTiming
