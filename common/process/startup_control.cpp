#include "common/process/startup_control.hpp"

#include "common/process/runtime_error.hpp"

namespace tarnel {

double PrivilegedTunnelStartupControl::effectiveDeadline() const noexcept {
    const double deadline = routeDeadlineUptime.value_or(request.deadlineUptime);
    return progressObserved ? deadline + progressAllowance : deadline;
}

void PrivilegedTunnelStartupControl::checkpoint(double uptime) const {
    if (cancellationRequested_()) {
        throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::tunnelStartupCancelled);
    }
    // Written so that a deadline or uptime that is not a number fails closed.
    if (!(effectiveDeadline() > uptime)) {
        throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::tunnelStartupDeadlineExceeded);
    }
}

void PrivilegedRuntimePreparationControl::checkpoint() const {
    const bool cancelled = cancellationRequested_();
    const double uptime = clock_.uptime();
    if (cancelled) {
        throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::tunnelStartupCancelled);
    }
    if (!(request.deadlineUptime > uptime)) {
        throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::runtimePreparationDeadlineExceeded);
    }
}

}  // namespace tarnel
