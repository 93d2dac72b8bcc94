#include "common/process/startup_timing.hpp"

#include <cmath>
#include <limits>

#include "common/base/error.hpp"

namespace tarnel {

const std::array<PrivilegedTunnelStartupStage, 24> kAllPrivilegedTunnelStartupStages{
    PrivilegedTunnelStartupStage::applicationConfiguration,
    PrivilegedTunnelStartupStage::applicationTailscaleSnapshot,
    PrivilegedTunnelStartupStage::applicationRuntimePreparation,
    PrivilegedTunnelStartupStage::helperRoundTrip,
    PrivilegedTunnelStartupStage::helperConfigurationValidation,
    PrivilegedTunnelStartupStage::helperTailscaleDecode,
    PrivilegedTunnelStartupStage::helperTailscaleValidation,
    PrivilegedTunnelStartupStage::helperConfigurationProtection,
    PrivilegedTunnelStartupStage::helperRuntimeValidation,
    PrivilegedTunnelStartupStage::helperRuntimeStaging,
    PrivilegedTunnelStartupStage::helperRuntimeReuse,
    PrivilegedTunnelStartupStage::helperProtectionActivation,
    PrivilegedTunnelStartupStage::helperPreviousRuntimeCleanup,
    PrivilegedTunnelStartupStage::helperConfigurationWrite,
    PrivilegedTunnelStartupStage::helperProcessLaunch,
    PrivilegedTunnelStartupStage::helperPostLaunchCheckpoint,
    PrivilegedTunnelStartupStage::helperProcessIdentity,
    PrivilegedTunnelStartupStage::helperStatePersistence,
    PrivilegedTunnelStartupStage::helperLiveRuntimeValidation,
    PrivilegedTunnelStartupStage::helperInterfaceAppearance,
    PrivilegedTunnelStartupStage::helperProtectionPromotion,
    PrivilegedTunnelStartupStage::helperDNSRoute,
    PrivilegedTunnelStartupStage::helperDNSActivation,
    PrivilegedTunnelStartupStage::helperFinalProcessValidation,
};

std::string_view rawValue(PrivilegedTunnelStartupComponent component) noexcept {
    return component == PrivilegedTunnelStartupComponent::application ? "application" : "helper";
}

std::string_view rawValue(PrivilegedTunnelStartupOutcome outcome) noexcept {
    switch (outcome) {
        case PrivilegedTunnelStartupOutcome::started: return "started";
        case PrivilegedTunnelStartupOutcome::completed: return "completed";
        case PrivilegedTunnelStartupOutcome::failed: return "failed";
    }
    return "failed";
}

std::string_view rawValue(PrivilegedTunnelStartupStage stage) noexcept {
    using S = PrivilegedTunnelStartupStage;
    switch (stage) {
        case S::applicationConfiguration: return "application_configuration";
        case S::applicationTailscaleSnapshot: return "application_tailscale_snapshot";
        case S::applicationRuntimePreparation: return "application_runtime_preparation";
        case S::helperRoundTrip: return "helper_round_trip";
        case S::helperConfigurationValidation: return "helper_configuration_validation";
        case S::helperTailscaleDecode: return "helper_tailscale_decode";
        case S::helperTailscaleValidation: return "helper_tailscale_validation";
        case S::helperConfigurationProtection: return "helper_configuration_protection";
        case S::helperRuntimeValidation: return "helper_runtime_validation";
        case S::helperRuntimeStaging: return "helper_runtime_staging";
        case S::helperRuntimeReuse: return "helper_runtime_reuse";
        case S::helperProtectionActivation: return "helper_protection_activation";
        case S::helperPreviousRuntimeCleanup: return "helper_previous_runtime_cleanup";
        case S::helperConfigurationWrite: return "helper_configuration_write";
        case S::helperProcessLaunch: return "helper_process_launch";
        case S::helperPostLaunchCheckpoint: return "helper_post_launch_checkpoint";
        case S::helperProcessIdentity: return "helper_process_identity";
        case S::helperStatePersistence: return "helper_state_persistence";
        case S::helperLiveRuntimeValidation: return "helper_live_runtime_validation";
        case S::helperInterfaceAppearance: return "helper_interface_appearance";
        case S::helperProtectionPromotion: return "helper_protection_promotion";
        case S::helperDNSRoute: return "helper_dns_route";
        case S::helperDNSActivation: return "helper_dns_activation";
        case S::helperFinalProcessValidation: return "helper_final_process_validation";
    }
    return "";
}

std::optional<PrivilegedTunnelStartupComponent> startupComponentFromRawValue(std::string_view raw) {
    for (const auto component : {PrivilegedTunnelStartupComponent::application, PrivilegedTunnelStartupComponent::helper}) {
        if (rawValue(component) == raw) return component;
    }
    return std::nullopt;
}

std::optional<PrivilegedTunnelStartupOutcome> startupOutcomeFromRawValue(std::string_view raw) {
    for (const auto outcome : {PrivilegedTunnelStartupOutcome::started, PrivilegedTunnelStartupOutcome::completed,
                               PrivilegedTunnelStartupOutcome::failed}) {
        if (rawValue(outcome) == raw) return outcome;
    }
    return std::nullopt;
}

std::optional<PrivilegedTunnelStartupStage> startupStageFromRawValue(std::string_view raw) {
    for (const auto stage : kAllPrivilegedTunnelStartupStages) {
        if (rawValue(stage) == raw) return stage;
    }
    return std::nullopt;
}

namespace {

std::int64_t roundedMilliseconds(double seconds) {
    const double milliseconds = std::round(seconds * 1000.0);
    if (std::isnan(milliseconds)) return 0;
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (milliseconds >= limit) return std::numeric_limits<std::int64_t>::max();
    if (milliseconds < -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(milliseconds);
}

}  // namespace

PrivilegedTunnelStartupTimingEvent PrivilegedTunnelStartupTimingEvent::measure(
    PrivilegedTunnelStartupComponent component, PrivilegedTunnelStartupStage stage,
    PrivilegedTunnelStartupOutcome outcome, const Uuid& attemptID, double stageStart, double now, double deadline) {
    return PrivilegedTunnelStartupTimingEvent{
        component,
        stage,
        outcome,
        PrivilegedTunnelStartupTiming::attemptToken(attemptID),
        outcome == PrivilegedTunnelStartupOutcome::started ? 0 : roundedMilliseconds(now - stageStart),
        roundedMilliseconds(deadline - now),
    };
}

namespace PrivilegedTunnelStartupTiming {

const Log& logger() {
    static const Log log("app.tarnel.direct.startup", "timing");
    return log;
}

std::string attemptToken(const Uuid& attemptID) { return attemptID.text().substr(0, 8); }

void log(const PrivilegedTunnelStartupTimingEvent& event, const std::exception* error) noexcept {
    try {
        std::string line = "startup_stage component=";
        line += rawValue(event.component);
        line += " stage=";
        line += rawValue(event.stage);
        line += " outcome=";
        line += rawValue(event.outcome);
        line += " attempt=";
        line += event.attemptToken;
        line += " stage_ms=" + std::to_string(event.stageMilliseconds);
        line += " remaining_ms=" + std::to_string(event.remainingMilliseconds);
        if (error != nullptr) {
            line += " error_type=" + errorTypeName(*error);
            logger().error(line);
        } else {
            logger().notice(line);
        }
    } catch (...) {
        // Timing lines never fail the stage they measure.
    }
}

}  // namespace PrivilegedTunnelStartupTiming

}  // namespace tarnel
