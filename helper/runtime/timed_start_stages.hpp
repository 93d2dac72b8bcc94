#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/clock.hpp"
#include "common/contract/tailscale_compatibility_request.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "common/process/startup_control.hpp"
#include "common/process/startup_timing.hpp"
#include "helper/protection/tailscale_underlay_endpoint.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "helper/runtime/tailscale_validation_result.hpp"

namespace tarnel {

// The Tailscale facts a live protection record holds, as far as a new start
// may reuse them.
struct RecordedTailscaleProtection {
    bool protectionDesired = false;
    std::optional<std::vector<std::int64_t>> regionIDs;
    std::optional<std::int64_t> relayRegionID;
    std::optional<std::string> physicalInterface;
    std::optional<std::string> tunnelInterface;
    std::optional<std::vector<TailscaleUnderlayEndpoint>> underlayEndpoints;
};

// The early stages of a tunnel start and the timing wrapper of every stage.
// Each wrapped stage logs a "started" timing record, then "completed" or
// "failed" (with the error, which is rethrown unchanged); elapsed and
// remaining milliseconds are measured against the start's effective deadline
// (the route deadline when set, else the request's, plus the allowance once
// progress was observed), fixed when the stage begins.
//
// Runs on the start's thread under the helper's operation lock. What it needs
// from the kill switch, the Tailscale validation and the prepared runtime
// cache comes in as functions, so that each stays with its owner.
class TimedStartStages {
public:
    struct Dependencies {
        // The clock of every timing record and checkpoint.
        const Clock* clock = &SystemClock::shared();
        // Holding the kill switch's lock: expires stale protection, loads the
        // record and hands it (nothing when there is none) to `inspect`, which
        // runs before the lock is released, so that a watchdog tick cannot
        // tear the record down between the look and the decision. Its errors,
        // and those of `inspect`, pass on.
        using ProtectionInspector = std::function<void(const std::optional<RecordedTailscaleProtection>&)>;
        std::function<void(const ProtectionInspector& inspect)> inspectLiveProtection;
        // Whether an interface of this name exists now (non-zero index).
        std::function<bool(std::string_view)> interfaceExists;
        // The full Tailscale validation: regions, relay region, physical
        // interface, user identifier, control.
        std::function<TailscaleValidationResult(const std::vector<std::int64_t>&, std::int64_t, const std::string&,
                                                std::uint32_t, const PrivilegedTunnelStartupControl&)>
            validateTailscale;
        // The connecting application's effective user id, when known.
        std::optional<std::uint32_t> clientUserIdentifier;
        // The prepared runtime cache lookup for a token
        // (PrivilegedRuntime::cachedPreparedRuntime); its errors pass on.
        std::function<std::optional<PrivilegedRuntime::PreparedRuntime>(std::string_view)> cachedPreparedRuntime;
    };

    explicit TimedStartStages(Dependencies dependencies);

    // The timing wrapper around `body`, which may return a value or nothing.
    template <typename Body>
    decltype(auto) timedStage(PrivilegedTunnelStartupStage stage, const PrivilegedTunnelStartupControl& control,
                              Body&& body) const {
        return timedHelperStage(stage, control.request.attemptID, control, clock(), std::forward<Body>(body));
    }

    // The checkpoint alone, timed.
    void timedCheckpoint(PrivilegedTunnelStartupStage stage, const PrivilegedTunnelStartupControl& control) const;

    // Checkpoint, validate, checkpoint: the validator's result only when both
    // checkpoints pass.
    [[nodiscard]] PrivilegedTunnelConfigurationValidator::Result timedConfigurationValidation(
        PrivilegedTunnelStartupStage stage, const PrivilegedTunnelStartupControl& control,
        std::string_view configuration) const;

    // The compatibility request check; nothing when no request was sent.
    [[nodiscard]] std::optional<PrivilegedHelperContract::TailscaleCompatibilityRequest> timedTailscaleDecode(
        PrivilegedTunnelStartupStage stage, const PrivilegedTunnelStartupControl& control,
        const std::optional<std::string>& payload) const;

    // The Tailscale facts of a live protection when they match this request,
    // else the full validation; tailscaleCompatibilityUnavailable without a
    // physical interface, for a live protection that does not match, or
    // without a user identifier.
    [[nodiscard]] TailscaleValidationResult timedTailscaleValidation(
        PrivilegedTunnelStartupStage stage, const PrivilegedTunnelStartupControl& control,
        const std::optional<std::string>& physicalInterface, const std::vector<std::int64_t>& regions,
        std::int64_t relayRegion) const;

    // The prepared runtime for the token (runtimeNotPrepared when there is
    // none), then a checkpoint. Not timed here: the start sequence records
    // this stage itself.
    [[nodiscard]] PrivilegedRuntime::PreparedRuntime reusePreparedRuntime(
        std::string_view token, const PrivilegedTunnelStartupControl& control) const;

    // Launches the prepared process object (anything with launch()), timed.
    template <typename Process>
    void timedLaunch(PrivilegedTunnelStartupStage stage, const PrivilegedTunnelStartupControl& control,
                     Process& process) const {
        timedStage(stage, control, [&] { process.launch(); });
    }

private:
    [[nodiscard]] const Clock& clock() const noexcept { return *dependencies_.clock; }
    [[nodiscard]] std::optional<TailscaleValidationResult> reusableTailscaleProtection(
        const std::string& physicalInterface, const std::vector<std::int64_t>& regions, std::int64_t relayRegion) const;
    [[nodiscard]] std::optional<TailscaleValidationResult> reusableFrom(
        const std::optional<RecordedTailscaleProtection>& record, const std::string& physicalInterface,
        const std::vector<std::int64_t>& regions, std::int64_t relayRegion) const;

    Dependencies dependencies_;
};

}  // namespace tarnel
