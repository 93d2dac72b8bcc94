#include "app/tunnel/startup_timing.hpp"

namespace tarnel::PrivilegedTunnelStartupTiming {

std::string timedRuntimePreparation(const PrivilegedHelperClient& client, const Uuid& attemptID,
                                    double deadlineUptime) {
    return timedStage(PrivilegedTunnelStartupStage::applicationRuntimePreparation, attemptID, deadlineUptime,
                      *client.endpoint().clock,
                      [&] { return client.prepareRuntime(attemptID, deadlineUptime); });
}

}  // namespace tarnel::PrivilegedTunnelStartupTiming
