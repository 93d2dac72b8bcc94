#include "app/tunnel/startup_timing.hpp"

namespace tarnel::PrivilegedTunnelStartupTiming {

std::string timedRuntimePreparation(const PrivilegedHelperOperations& helper, const Uuid& attemptID,
                                    double deadlineUptime, const Clock& clock) {
    return timedStage(PrivilegedTunnelStartupStage::applicationRuntimePreparation, attemptID, deadlineUptime, clock,
                      [&] { return helper.prepareRuntime(attemptID, deadlineUptime); });
}

}  // namespace tarnel::PrivilegedTunnelStartupTiming
