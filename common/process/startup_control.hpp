#pragma once

#include <functional>
#include <optional>

#include "common/base/clock.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/process/startup_timing.hpp"

namespace tarnel {

// What a tunnel start needs to decide whether to go on: its request, a query
// of the start registry for cancellation, and how far the start has come.
// Used by the one thread that runs the start; only the cancellation query
// reads state that other threads write.
class PrivilegedTunnelStartupControl {
public:
    // Once a start has made progress, its checkpoints allow this much beyond
    // its deadline.
    static constexpr double progressAllowance = 5.0;

    PrivilegedTunnelStartupControl(PrivilegedTunnelStartupRequest startupRequest, std::function<bool()> cancellationRequested)
        : request(startupRequest), cancellationRequested_(std::move(cancellationRequested)) {}

    // The route deadline when one is set, else the request's deadline; plus
    // the allowance once progress was observed.
    [[nodiscard]] double effectiveDeadline() const noexcept;

    // Throws PrivilegedRuntimeError tunnelStartupCancelled when the attempt was
    // cancelled (this wins over the deadline), else tunnelStartupDeadlineExceeded
    // unless the effective deadline lies after `uptime`.
    void checkpoint(double uptime) const;

    [[nodiscard]] bool isCancellationRequested() const { return cancellationRequested_(); }

    const PrivilegedTunnelStartupRequest request;
    bool progressObserved = false;
    std::optional<double> routeDeadlineUptime;

private:
    std::function<bool()> cancellationRequested_;
};

class PrivilegedRuntimePreparationControl {
public:
    PrivilegedRuntimePreparationControl(PrivilegedRuntimePreparationRequest preparationRequest,
                                        std::function<bool()> cancellationRequested,
                                        const Clock& clock = SystemClock::shared())
        : request(preparationRequest), cancellationRequested_(std::move(cancellationRequested)), clock_(clock) {}

    // Reads the uptime itself. Throws tunnelStartupCancelled, or
    // runtimePreparationDeadlineExceeded once the deadline is reached. Never
    // extends the deadline.
    void checkpoint() const;

    const PrivilegedRuntimePreparationRequest request;

private:
    std::function<bool()> cancellationRequested_;
    const Clock& clock_;
};

// Runs `work` as one timed stage of the helper's part of a tunnel start: the
// remaining time is measured against the control's effective deadline, fixed
// at entry; the stage's events are logged around `work`, and a failure is
// logged with its type and rethrown. Returns what `work` returns.
template <typename Work>
decltype(auto) timedHelperStage(PrivilegedTunnelStartupStage stage, const Uuid& attemptID,
                                const PrivilegedTunnelStartupControl& control, const Clock& clock, Work&& work) {
    return PrivilegedTunnelStartupTiming::timedStage(PrivilegedTunnelStartupComponent::helper, stage, attemptID,
                                                     control.effectiveDeadline(), clock, std::forward<Work>(work));
}

// The timed "helper_configuration_write" stage of a tunnel start.
template <typename Work>
void timedConfigurationWrite(const Uuid& attemptID, const PrivilegedTunnelStartupControl& control,
                             const Clock& clock, Work&& work) {
    timedHelperStage(PrivilegedTunnelStartupStage::helperConfigurationWrite, attemptID, control, clock,
                     std::forward<Work>(work));
}

}  // namespace tarnel
