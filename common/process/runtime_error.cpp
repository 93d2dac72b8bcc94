#include "common/process/runtime_error.hpp"

#include "common/contract/privileged_helper_protocol.hpp"

namespace tarnel {

std::string PrivilegedRuntimeError::message() const {
    switch (case_) {
        case Case::unauthorizedClient: return "The privileged helper rejected the calling application.";
        case Case::invalidBundledBinary:
        case Case::invalidCodeSignature: return "The signed tunnel runtime could not be verified.";
        case Case::unsafeRuntimeDirectory: return "The privileged runtime directory is not root-owned and private.";
        case Case::unsafeStagedRuntime: return "The staged tunnel runtime is not a root-owned private executable.";
        case Case::runtimeStorageUnavailable: return "The privileged runtime storage is unavailable.";
        case Case::runtimeNotPrepared: return "The signed tunnel runtime is not prepared for this application build.";
        case Case::runtimePreparationDeadlineExceeded: return "Preparing the signed tunnel runtime exceeded its deadline.";
        case Case::processStartFailed: return "The tunnel runtime could not be started.";
        case Case::processExitedDuringStartup: return "The tunnel runtime exited during startup.";
        case Case::tunnelProcessDidNotStop: return "The previous tunnel runtime did not stop during cleanup.";
        case Case::tunnelInterfaceUnavailable: return "The tunnel interface did not appear during startup.";
        case Case::tunnelInterfaceDidNotDisappear: return "The previous tunnel interface did not disappear during cleanup.";
        case Case::ambiguousTunnelInterface: return "More than one Tarnel tunnel interface appeared during startup.";
        case Case::protectedDNSRouteFailed: return "The protected DNS route could not be installed on the tunnel interface.";
        case Case::endpointResolutionFailed: return "The protected tunnel endpoint could not be resolved.";
        case Case::tailscaleCompatibilityUnavailable:
            return "Tailscale compatibility could not be verified; Tailscale was left untouched.";
        case Case::tailscaleCompatibilityValidationFailed:
            return "The installed Tailscale code or compatibility state could not be validated.";
        case Case::packetFilterCommandFailed: return "The system packet filter rejected the kill-switch policy.";
        case Case::packetFilterEnableFailed: return "The system packet filter did not return an enable reference.";
        case Case::corruptKillSwitchState: return "The protected kill-switch state is invalid.";
        case Case::killSwitchLeaseExpired:
            return "The kill-switch safety lease expired; reconnect to enable protection again.";
        case Case::networkSetupFailed: return "The system proxy command failed.";
        case Case::corruptTunnelState: return "The protected tunnel state is invalid; no process was stopped.";
        case Case::corruptProxyState: return "The protected proxy state is invalid; no network service was changed.";
        case Case::tunnelStartupCancelled: return "The tunnel startup was cancelled.";
        case Case::tunnelStartupDeadlineExceeded: return "The tunnel startup exceeded its deadline.";
    }
    return "The tunnel runtime could not be started.";
}

std::optional<std::string_view> PrivilegedRuntimeError::replyCode() const noexcept {
    namespace code = PrivilegedHelperProtocol::replyCode;
    switch (case_) {
        case Case::runtimeNotPrepared: return code::runtimeNotPrepared;
        case Case::runtimePreparationDeadlineExceeded: return code::runtimePreparationDeadlineExceeded;
        case Case::tailscaleCompatibilityUnavailable: return code::tailscaleCompatibilityUnavailable;
        case Case::tailscaleCompatibilityValidationFailed: return code::tailscaleCompatibilityValidationFailed;
        case Case::tunnelStartupCancelled: return code::cancelled;
        default: return std::nullopt;
    }
}

bool tunnelMayStillRun(const std::exception_ptr& stopFailure) {
    try {
        std::rethrow_exception(stopFailure);
    } catch (const PrivilegedRuntimeError& error) {
        return error.errorCase() == PrivilegedRuntimeError::Case::tunnelProcessDidNotStop ||
               error.errorCase() == PrivilegedRuntimeError::Case::tunnelInterfaceDidNotDisappear;
    } catch (...) {
        return false;
    }
}

}  // namespace tarnel
