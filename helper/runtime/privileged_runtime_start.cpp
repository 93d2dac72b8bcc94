// The tunnel start: the stages before the launch (configuration, Tailscale,
// prepared runtime, protection), the launch itself (privileged_runtime_launch.cpp),
// and the stages after it (tunnel interface, protection promotion, DNS route,
// DNS override, final process check).

#include <set>
#include <string>
#include <utility>

#include "common/base/files.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "helper/runtime/tailscale_compatibility_validation.hpp"
#include "helper/runtime/tailscale_protected_configuration.hpp"
#include "helper/runtime/timed_start_stages.hpp"
#include "platform/runtime_host.hpp"

namespace tarnel {

namespace {

using Case = PrivilegedRuntimeError::Case;
using Stage = PrivilegedTunnelStartupStage;

[[noreturn]] void fail(Case errorCase) { throw PrivilegedRuntimeError(errorCase); }

// The Tailscale facts of a protection record.
RecordedTailscaleProtection recordedTailscaleProtection(const PacketFilterKillSwitch::State& state) {
    RecordedTailscaleProtection recorded;
    recorded.protectionDesired = state.desiredActive;
    recorded.regionIDs = state.tailscaleRegionIDs;
    recorded.relayRegionID = state.tailscaleRelayRegionID;
    recorded.physicalInterface = state.tailscalePhysicalInterface;
    recorded.tunnelInterface = state.tailscaleTunnelInterface;
    recorded.underlayEndpoints = state.tailscaleUnderlayEndpoints;
    return recorded;
}

// Under the kill-switch lock: tears stale protection down, then hands the
// live record's Tailscale facts to `inspect`.
void inspectLiveProtection(const PacketFilterKillSwitch& killSwitch,
                           const TimedStartStages::Dependencies::ProtectionInspector& inspect) {
    const auto lock = PacketFilterKillSwitch::acquireLock();
    killSwitch.expireStaleState();
    const std::optional<PacketFilterKillSwitch::State> state = killSwitch.loadState();
    inspect(state ? std::optional(recordedTailscaleProtection(*state)) : std::nullopt);
}

// What a failure of the Tailscale validation, or of the checkpoint right
// after it, means to the application: a cancellation stays one; a deadline
// that passed while Tailscale was being looked at, like an unavailable
// Tailscale, leaves Tailscale untouched; anything else is a Tailscale that
// could not be validated.
[[noreturn]] void rethrowAsTailscaleFailure() {
    try {
        throw;
    } catch (const PrivilegedRuntimeError& error) {
        switch (error.errorCase()) {
            case Case::tunnelStartupCancelled:
                throw;
            case Case::tailscaleCompatibilityUnavailable:
            case Case::tunnelStartupDeadlineExceeded:
                fail(Case::tailscaleCompatibilityUnavailable);
            default:
                fail(Case::tailscaleCompatibilityValidationFailed);
        }
    } catch (...) {
        fail(Case::tailscaleCompatibilityValidationFailed);
    }
}

}  // namespace

PrivilegedRuntime::TunnelStart PrivilegedRuntime::startTunnel(std::string_view configuration,
                                                              const std::optional<std::string>& tailscaleCompatibility,
                                                              std::string_view preparedRuntimeToken,
                                                              const PrivilegedTunnelStartupRequest& request,
                                                              std::function<bool()> cancellationRequested) const {
    PrivilegedTunnelStartupControl control(request, std::move(cancellationRequested));

    TimedStartStages::Dependencies dependencies;
    dependencies.clock = &clock();
    dependencies.inspectLiveProtection = [this](const TimedStartStages::Dependencies::ProtectionInspector& inspect) {
        inspectLiveProtection(killSwitch(), inspect);
    };
    dependencies.interfaceExists = [this](std::string_view name) {
        return environment_.killSwitchServices.interfaces->exists(std::string(name));
    };
    dependencies.validateTailscale = [this](const std::vector<std::int64_t>& regions, std::int64_t relayRegion,
                                            const std::string& physicalInterface, std::uint32_t userIdentifier,
                                            const PrivilegedTunnelStartupControl& stageControl) {
        return ClientCodeValidator::validateTailscaleCompatibility(regions, relayRegion, physicalInterface,
                                                                   userIdentifier, stageControl,
                                                                   environment_.tailscaleInstallation, codeSigning(),
                                                                   clock());
    };
    dependencies.clientUserIdentifier = clientUserIdentifier_;
    dependencies.cachedPreparedRuntime = [this](std::string_view token) { return cachedPreparedRuntime(token); };
    const TimedStartStages stages(std::move(dependencies));

    const PrivilegedTunnelConfigurationValidator::Result route =
        stages.timedConfigurationValidation(Stage::helperConfigurationValidation, control, configuration);

    std::optional<PrivilegedHelperContract::TailscaleCompatibilityRequest> tailscaleRequest;
    try {
        tailscaleRequest = stages.timedTailscaleDecode(Stage::helperTailscaleDecode, control, tailscaleCompatibility);
    } catch (...) {
        // The decoder's own error went into the stage's failed record.
        fail(Case::tailscaleCompatibilityValidationFailed);
    }

    std::optional<TailscaleValidationResult> tailscale;
    double tailscaleChecksEnded = 0.0;
    if (tailscaleRequest) {
        try {
            tailscale =
                stages.timedTailscaleValidation(Stage::helperTailscaleValidation, control, route.defaultInterface,
                                                tailscaleRequest->regionIDs, tailscaleRequest->relayRegionID);
            tailscaleChecksEnded = clock().uptime();
            control.checkpoint(tailscaleChecksEnded);
        } catch (...) {
            rethrowAsTailscaleFailure();
        }
    } else {
        tailscaleChecksEnded = clock().uptime();
        control.checkpoint(tailscaleChecksEnded);
    }
    // Beside Tailscale the route must be up 5 s after Tailscale was checked,
    // whatever the request allowed: the checks only hold for so long.
    control.routeDeadlineUptime =
        request.hasTailscaleCompatibility ? tailscaleChecksEnded + 5.0 : request.deadlineUptime;

    const std::string protectedConfiguration =
        timedStage(Stage::helperConfigurationProtection, control, [&] {
            std::string bytes = tailscale ? PrivilegedTunnelConfigurationValidator::protectedConfiguration(
                                                configuration, tailscale->tunnelInterface, tailscale->underlayEndpoints)
                                          : std::string(configuration);
            control.checkpoint(clock().uptime());
            return bytes;
        });

    const PreparedRuntime prepared = timedStage(Stage::helperRuntimeReuse, control, [&] {
        return stages.reusePreparedRuntime(preparedRuntimeToken, control);
    });

    // From here on the machine stays protected, whatever happens to the start.
    timedStage(Stage::helperProtectionActivation, control, [&] {
        PacketFilterKillSwitch::Tailscale inputs;
        if (tailscaleRequest && tailscale) {
            inputs.regionIDs = tailscaleRequest->regionIDs;
            inputs.relayRegionID = tailscaleRequest->relayRegionID;
            inputs.underlayEndpoints = tailscale->underlayEndpoints;
            inputs.tunnelInterface = tailscale->tunnelInterface;
        }
        killSwitch().activate(PacketFilterKillSwitch::Policy::from(route), inputs);
        control.checkpoint(clock().uptime());
    });

    LaunchedRuntime launched = launchPreparedRuntime(protectedConfiguration, prepared, control);
    control.progressObserved = true;

    try {
        const std::string interfaceName = timedStage(Stage::helperInterfaceAppearance, control, [&] {
            return waitForTunnelInterface(launched.process, launched.state, control);
        });
        timedStage(Stage::helperProtectionPromotion, control, [&] {
            killSwitch().promote(interfaceName);
            control.checkpoint(clock().uptime());
        });
        timedStage(Stage::helperDNSRoute, control, [&] { installProtectedDNSRoute(interfaceName, control); });
        timedStage(Stage::helperDNSActivation, control, [&] {
            dnsOverride()->apply(interfaceName);
            control.checkpoint(clock().uptime());
        });
        timedStage(Stage::helperFinalProcessValidation, control,
                   [&] { validateFinalProcess(launched.process, launched.state); });
    } catch (...) {
        // When the cleanup fails, its error is the one that counts.
        cleanUpFailedStart(launched.process, launched.log, true);
        throw;
    }

    try {
        removeObsoleteRuntimes({prepared.binaryURL.string()});
    } catch (...) {
        // Leftover copies are removed by a later start; the tunnel stands.
    }
    const std::int32_t processIdentifier = launched.process.pid();
    // The runtime now lives on its own; the helper only reaps it when it exits.
    launched.process.detach();
    return TunnelStart{processIdentifier, *control.routeDeadlineUptime};
}

std::string PrivilegedRuntime::waitForTunnelInterface(const ChildProcess& process, TunnelState& state,
                                                      const PrivilegedTunnelStartupControl& control) const {
    const double windowEnd = clock().uptime() + tunnelInterfaceAppearanceWindow;
    while (clock().uptime() < windowEnd) {
        // A runtime that exits before its interface appears never made one.
        if (!process.isRunning()) fail(Case::tunnelInterfaceUnavailable);
        control.checkpoint(clock().uptime());
        const std::set<std::string> names = RuntimeHost::activeTunnelInterfaces();
        if (names.size() > 1) fail(Case::ambiguousTunnelInterface);
        if (names.size() == 1) {
            state.tunnelInterface = *names.begin();
            files::writeAtomically(tunnelStatePath(), state.encoded(), 0600);
            control.checkpoint(clock().uptime());
            return *state.tunnelInterface;
        }
        clock().sleepFor(tunnelInterfaceAppearancePollInterval);
    }
    fail(Case::tunnelInterfaceUnavailable);
}

void PrivilegedRuntime::installProtectedDNSRoute(const std::string& interfaceName,
                                                 const PrivilegedTunnelStartupControl& control) const {
    const std::vector<std::string> query{"-n", "get", std::string(PrivilegedHelperContract::protectedDNSAddress)};
    const auto routeIsOnInterface = [&] {
        const RuntimeHost::RouteResult result = RuntimeHost::runRoute(query, control, clock());
        return result.terminationStatus == 0 &&
               PrivilegedHelperContract::routeOutputShowsInterface(result.output, interfaceName);
    };
    if (!routeIsOnInterface()) {
        const RuntimeHost::RouteResult added = RuntimeHost::runRoute(
            PrivilegedHelperContract::protectedDNSRouteArguments(interfaceName), control, clock());
        if (added.terminationStatus != 0) fail(Case::protectedDNSRouteFailed);
        if (!routeIsOnInterface()) fail(Case::protectedDNSRouteFailed);
    }
    control.checkpoint(clock().uptime());
}

void PrivilegedRuntime::validateFinalProcess(const ChildProcess& process, const TunnelState& state) const {
    if (!process.isRunning()) fail(Case::processExitedDuringStartup);
    const std::optional<ProcessIdentity> identity = RuntimeHost::processIdentity(state.pid);
    if (!identity || identity->executablePath != state.executablePath ||
        identity->startSeconds != state.startedAtSeconds ||
        identity->startMicroseconds != state.startedAtMicroseconds) {
        fail(Case::processExitedDuringStartup);
    }
}

}  // namespace tarnel
