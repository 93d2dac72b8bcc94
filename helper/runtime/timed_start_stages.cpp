#include "helper/runtime/timed_start_stages.hpp"

#include <stdexcept>

#include "common/contract/interface_names.hpp"
#include "common/process/runtime_error.hpp"

namespace tarnel {
namespace {

PrivilegedRuntimeError unavailable() {
    return PrivilegedRuntimeError(PrivilegedRuntimeError::Case::tailscaleCompatibilityUnavailable);
}

}  // namespace

TimedStartStages::TimedStartStages(Dependencies dependencies) : dependencies_(std::move(dependencies)) {
    if (dependencies_.clock == nullptr) throw std::invalid_argument("timed start stages need a clock");
}

void TimedStartStages::timedCheckpoint(PrivilegedTunnelStartupStage stage,
                                       const PrivilegedTunnelStartupControl& control) const {
    timedStage(stage, control, [&] { control.checkpoint(clock().uptime()); });
}

PrivilegedTunnelConfigurationValidator::Result TimedStartStages::timedConfigurationValidation(
    PrivilegedTunnelStartupStage stage, const PrivilegedTunnelStartupControl& control,
    std::string_view configuration) const {
    return timedStage(stage, control, [&] {
        control.checkpoint(clock().uptime());
        PrivilegedTunnelConfigurationValidator::Result result = PrivilegedTunnelConfigurationValidator::validate(configuration);
        control.checkpoint(clock().uptime());
        return result;
    });
}

std::optional<PrivilegedHelperContract::TailscaleCompatibilityRequest> TimedStartStages::timedTailscaleDecode(
    PrivilegedTunnelStartupStage stage, const PrivilegedTunnelStartupControl& control,
    const std::optional<std::string>& payload) const {
    return timedStage(stage, control,
                      [&] { return PrivilegedHelperContract::validateTailscaleCompatibilityRequest(payload); });
}

std::optional<TailscaleValidationResult> TimedStartStages::reusableTailscaleProtection(
    const std::string& physicalInterface, const std::vector<std::int64_t>& regions, std::int64_t relayRegion) const {
    if (!dependencies_.inspectLiveProtection) throw std::logic_error("timed start stages lack the protection record");
    std::optional<TailscaleValidationResult> reused;
    dependencies_.inspectLiveProtection([&](const std::optional<RecordedTailscaleProtection>& record) {
        reused = reusableFrom(record, physicalInterface, regions, relayRegion);
    });
    return reused;
}

std::optional<TailscaleValidationResult> TimedStartStages::reusableFrom(
    const std::optional<RecordedTailscaleProtection>& record, const std::string& physicalInterface,
    const std::vector<std::int64_t>& regions, std::int64_t relayRegion) const {
    if (!record || !record->protectionDesired) return std::nullopt;

    // A live protection is reused only when it was made for exactly this
    // request on this interface and what it names still exists; anything
    // else refuses the start rather than validating Tailscale anew.
    const bool matches = record->regionIDs == regions && record->relayRegionID == relayRegion &&
                         record->physicalInterface == physicalInterface && record->tunnelInterface.has_value() &&
                         record->underlayEndpoints.has_value() && !record->underlayEndpoints->empty() &&
                         InterfaceNames::isPhysical(physicalInterface) &&
                         InterfaceNames::isTunnel(*record->tunnelInterface) && dependencies_.interfaceExists &&
                         dependencies_.interfaceExists(physicalInterface) &&
                         dependencies_.interfaceExists(*record->tunnelInterface);
    if (!matches) throw unavailable();
    try {
        return TailscaleValidationResult{TailscaleUnderlayEndpoint::validatedList(*record->underlayEndpoints),
                                         *record->tunnelInterface};
    } catch (const PrivilegedHelperContractError&) {
        throw unavailable();
    }
}

TailscaleValidationResult TimedStartStages::timedTailscaleValidation(PrivilegedTunnelStartupStage stage,
                                                                     const PrivilegedTunnelStartupControl& control,
                                                                     const std::optional<std::string>& physicalInterface,
                                                                     const std::vector<std::int64_t>& regions,
                                                                     std::int64_t relayRegion) const {
    return timedStage(stage, control, [&] {
        if (!physicalInterface) throw unavailable();
        if (std::optional<TailscaleValidationResult> reused =
                reusableTailscaleProtection(*physicalInterface, regions, relayRegion)) {
            return std::move(*reused);
        }
        if (!dependencies_.clientUserIdentifier) throw unavailable();
        if (!dependencies_.validateTailscale) throw std::logic_error("timed start stages lack the Tailscale validation");
        return dependencies_.validateTailscale(regions, relayRegion, *physicalInterface,
                                               *dependencies_.clientUserIdentifier, control);
    });
}

PrivilegedRuntime::PreparedRuntime TimedStartStages::reusePreparedRuntime(
    std::string_view token, const PrivilegedTunnelStartupControl& control) const {
    if (!dependencies_.cachedPreparedRuntime) throw std::logic_error("timed start stages lack the runtime cache");
    std::optional<PrivilegedRuntime::PreparedRuntime> prepared = dependencies_.cachedPreparedRuntime(token);
    if (!prepared) throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::runtimeNotPrepared);
    control.checkpoint(clock().uptime());
    return std::move(*prepared);
}

}  // namespace tarnel
