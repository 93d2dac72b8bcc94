#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/base/clock.hpp"
#include "common/base/log.hpp"
#include "common/base/uuid.hpp"

namespace tarnel {

enum class PrivilegedTunnelStartupComponent { application, helper };

enum class PrivilegedTunnelStartupOutcome { started, completed, failed };

enum class PrivilegedTunnelStartupStage {
    applicationConfiguration,
    applicationTailscaleSnapshot,
    applicationRuntimePreparation,
    helperRoundTrip,
    helperConfigurationValidation,
    helperTailscaleDecode,
    helperTailscaleValidation,
    helperConfigurationProtection,
    helperRuntimeValidation,
    helperRuntimeStaging,
    helperRuntimeReuse,
    helperProtectionActivation,
    helperPreviousRuntimeCleanup,
    helperConfigurationWrite,
    helperProcessLaunch,
    helperPostLaunchCheckpoint,
    helperProcessIdentity,
    helperStatePersistence,
    helperLiveRuntimeValidation,
    helperInterfaceAppearance,
    helperProtectionPromotion,
    helperDNSRoute,
    helperDNSActivation,
    helperFinalProcessValidation,
};

// Every stage, in order.
extern const std::array<PrivilegedTunnelStartupStage, 24> kAllPrivilegedTunnelStartupStages;

[[nodiscard]] std::string_view rawValue(PrivilegedTunnelStartupComponent component) noexcept;
[[nodiscard]] std::string_view rawValue(PrivilegedTunnelStartupOutcome outcome) noexcept;
[[nodiscard]] std::string_view rawValue(PrivilegedTunnelStartupStage stage) noexcept;

// Exact, case-sensitive construction from a raw value.
[[nodiscard]] std::optional<PrivilegedTunnelStartupComponent> startupComponentFromRawValue(std::string_view raw);
[[nodiscard]] std::optional<PrivilegedTunnelStartupOutcome> startupOutcomeFromRawValue(std::string_view raw);
[[nodiscard]] std::optional<PrivilegedTunnelStartupStage> startupStageFromRawValue(std::string_view raw);

struct PrivilegedTunnelStartupTimingEvent {
    PrivilegedTunnelStartupComponent component;
    PrivilegedTunnelStartupStage stage;
    PrivilegedTunnelStartupOutcome outcome;
    std::string attemptToken;  // first 8 characters of the attempt identifier
    std::int64_t stageMilliseconds = 0;
    std::int64_t remainingMilliseconds = 0;

    // Measures an event at uptime `now` of a stage that began at `stageStart`
    // for an attempt whose deadline is `deadline` (all seconds of uptime).
    // Milliseconds are rounded to the nearest whole one; values beyond the
    // signed 64-bit range (an infinite deadline) are clamped.
    static PrivilegedTunnelStartupTimingEvent measure(PrivilegedTunnelStartupComponent component,
                                                      PrivilegedTunnelStartupStage stage,
                                                      PrivilegedTunnelStartupOutcome outcome, const Uuid& attemptID,
                                                      double stageStart, double now, double deadline);

    friend bool operator==(const PrivilegedTunnelStartupTimingEvent&, const PrivilegedTunnelStartupTimingEvent&) = default;
};

namespace PrivilegedTunnelStartupTiming {

// Subsystem "app.tarnel.direct.startup", category "timing", in both programs.
[[nodiscard]] const Log& logger();

// The attempt token: the first 8 characters of the canonical identifier.
[[nodiscard]] std::string attemptToken(const Uuid& attemptID);

// Writes one line for the event: at the default level, or at error level with
// the failing error's module-qualified type name (never its message).
void log(const PrivilegedTunnelStartupTimingEvent& event, const std::exception* error = nullptr) noexcept;

// Runs `work` as one timed stage: logs the started event, then the completed
// event, or the failed event with the error, which is rethrown. `deadline` is
// the attempt's deadline in uptime seconds, fixed at entry.
template <typename Work>
decltype(auto) timedStage(PrivilegedTunnelStartupComponent component, PrivilegedTunnelStartupStage stage,
                          const Uuid& attemptID, double deadline, const Clock& clock, Work&& work) {
    const double stageStart = clock.uptime();
    // Not named "emit": Qt code that includes this defines that word away.
    const auto record = [&](PrivilegedTunnelStartupOutcome outcome, double now, const std::exception* error) {
        log(PrivilegedTunnelStartupTimingEvent::measure(component, stage, outcome, attemptID, stageStart, now,
                                                        deadline),
            error);
    };
    // The started event measures the remaining time from the stage's start itself.
    record(PrivilegedTunnelStartupOutcome::started, stageStart, nullptr);
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Work>>) {
            std::forward<Work>(work)();
            record(PrivilegedTunnelStartupOutcome::completed, clock.uptime(), nullptr);
        } else {
            decltype(auto) result = std::forward<Work>(work)();
            record(PrivilegedTunnelStartupOutcome::completed, clock.uptime(), nullptr);
            return result;
        }
    } catch (const std::exception& error) {
        record(PrivilegedTunnelStartupOutcome::failed, clock.uptime(), &error);
        throw;
    }
}

}  // namespace PrivilegedTunnelStartupTiming

}  // namespace tarnel
