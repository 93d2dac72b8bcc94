#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <utility>

#include "app/tunnel/privileged_helper_client.hpp"
#include "common/base/clock.hpp"
#include "common/base/uuid.hpp"
#include "common/process/startup_timing.hpp"

// The application's timed stages of a VPN connection attempt: each writes a
// "started" timing line, then "completed", or "failed" with the error's
// type, which is rethrown unchanged. Elapsed and remaining milliseconds are
// measured on the clock against the attempt's deadline.
namespace tarnel::PrivilegedTunnelStartupTiming {

// `work` as the application's stage `stage` of the attempt with deadline
// `deadlineUptime`; returns what `work` returns.
template <typename Work>
decltype(auto) timedStage(PrivilegedTunnelStartupStage stage, const Uuid& attemptID, double deadlineUptime,
                          const Clock& clock, Work&& work) {
    return timedStage(PrivilegedTunnelStartupComponent::application, stage, attemptID, deadlineUptime, clock,
                      std::forward<Work>(work));
}

// The helper's runtime preparation (`prepareRuntime` with the same attempt
// and deadline) as the stage application_runtime_preparation, measured on
// `clock`, the clock the deadline is read on; returns the prepared-runtime
// token.
[[nodiscard]] std::string timedRuntimePreparation(const PrivilegedHelperOperations& helper, const Uuid& attemptID,
                                                  double deadlineUptime, const Clock& clock);

// The Tailscale compatibility snapshot (TailscaleCompatibility::snapshot
// with the same deadline and stop, on the same clock) as the stage
// application_tailscale_snapshot; returns the payload, or nothing when
// Tailscale is not a connected VPN.
[[nodiscard]] std::optional<std::string> timedTailscaleSnapshot(const Uuid& attemptID, double deadlineUptime,
                                                                const std::stop_token& stop = {},
                                                                const Clock& clock = SystemClock::shared());

}  // namespace tarnel::PrivilegedTunnelStartupTiming
