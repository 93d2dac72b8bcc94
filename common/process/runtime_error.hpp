#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/error.hpp"

namespace tarnel {

// The one error type of the helper's runtime and of its network protection.
// Its messages are shown to the user, so their wording is part of the interface.
class PrivilegedRuntimeError final : public Error {
public:
    enum class Case {
        unauthorizedClient,
        invalidBundledBinary,
        invalidCodeSignature,
        unsafeRuntimeDirectory,
        unsafeStagedRuntime,
        runtimeStorageUnavailable,
        runtimeNotPrepared,
        runtimePreparationDeadlineExceeded,
        processStartFailed,
        processExitedDuringStartup,
        tunnelProcessDidNotStop,
        tunnelInterfaceUnavailable,
        tunnelInterfaceDidNotDisappear,
        ambiguousTunnelInterface,
        protectedDNSRouteFailed,
        endpointResolutionFailed,
        tailscaleCompatibilityUnavailable,
        tailscaleCompatibilityValidationFailed,
        packetFilterCommandFailed,
        packetFilterEnableFailed,
        corruptKillSwitchState,
        killSwitchLeaseExpired,
        networkSetupFailed,
        corruptTunnelState,
        corruptProxyState,
        tunnelStartupCancelled,
        tunnelStartupDeadlineExceeded,
    };
    static constexpr int caseCount = 27;

    explicit PrivilegedRuntimeError(Case errorCase) noexcept : case_(errorCase) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "PrivilegedRuntimeError"; }
    // The short code that travels with the message across IPC for the cases
    // the application must tell apart; nothing for the others.
    [[nodiscard]] std::optional<std::string_view> replyCode() const noexcept;

    friend bool operator==(const PrivilegedRuntimeError& a, const PrivilegedRuntimeError& b) {
        return a.case_ == b.case_;
    }

private:
    Case case_;
};

// Whether a tunnel stop that failed this way may have left the tunnel
// running: its process did not stop, or its interface did not go.
[[nodiscard]] bool tunnelMayStillRun(const std::exception_ptr& stopFailure);

}  // namespace tarnel
