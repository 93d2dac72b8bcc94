#include "common/process/startup_timing.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

#include "common/process/runtime_error.hpp"
#include "common/process/startup_control.hpp"

namespace tarnel {
namespace {

const Uuid kAttempt = *Uuid::parse("3F2504E0-4F89-11D3-9A0C-0305E82C3301");
constexpr std::string_view kPrefix = "startup_stage component=helper stage=helper_configuration_write ";

TEST(StartupTiming, RawValuesAreExact) {
    EXPECT_EQ(startupStageFromRawValue("helper_dns_route"), PrivilegedTunnelStartupStage::helperDNSRoute);
    EXPECT_EQ(startupStageFromRawValue("HELPER_DNS_ROUTE"), std::nullopt);
    EXPECT_EQ(startupStageFromRawValue("helper_dns_route "), std::nullopt);
    for (const auto stage : kAllPrivilegedTunnelStartupStages) {
        EXPECT_EQ(startupStageFromRawValue(rawValue(stage)), stage);
    }
    EXPECT_EQ(rawValue(kAllPrivilegedTunnelStartupStages.front()), "application_configuration");
    EXPECT_EQ(rawValue(kAllPrivilegedTunnelStartupStages.back()), "helper_final_process_validation");
    EXPECT_EQ(startupComponentFromRawValue("application"), PrivilegedTunnelStartupComponent::application);
    EXPECT_EQ(startupOutcomeFromRawValue("Failed"), std::nullopt);
    EXPECT_EQ(PrivilegedTunnelStartupTiming::attemptToken(kAttempt), "3F2504E0");
}

TEST(StartupTiming, EveryStageComponentAndOutcomeInItsOrder) {
    const std::vector<std::string_view> stages{
        "application_configuration", "application_tailscale_snapshot", "application_runtime_preparation",
        "helper_round_trip", "helper_configuration_validation", "helper_tailscale_decode",
        "helper_tailscale_validation", "helper_configuration_protection", "helper_runtime_validation",
        "helper_runtime_staging", "helper_runtime_reuse", "helper_protection_activation",
        "helper_previous_runtime_cleanup", "helper_configuration_write", "helper_process_launch",
        "helper_post_launch_checkpoint", "helper_process_identity", "helper_state_persistence",
        "helper_live_runtime_validation", "helper_interface_appearance", "helper_protection_promotion",
        "helper_dns_route", "helper_dns_activation", "helper_final_process_validation",
    };
    std::vector<std::string_view> actual;
    for (const auto stage : kAllPrivilegedTunnelStartupStages) actual.push_back(rawValue(stage));
    EXPECT_EQ(actual, stages);
    for (const std::string_view raw : {"application", "helper"}) {
        const auto component = startupComponentFromRawValue(raw);
        ASSERT_TRUE(component) << raw;
        EXPECT_EQ(rawValue(*component), raw);
    }
    for (const std::string_view raw : {"started", "completed", "failed"}) {
        const auto outcome = startupOutcomeFromRawValue(raw);
        ASSERT_TRUE(outcome) << raw;
        EXPECT_EQ(rawValue(*outcome), raw);
    }
    EXPECT_EQ(startupComponentFromRawValue("Helper"), std::nullopt);
}

TEST(StartupTiming, FailedStageWritesStartedAndFailedLines) {
    ScopedLogCapture capture;
    FakeClock clock(100.0);
    EXPECT_THROW(PrivilegedTunnelStartupTiming::timedStage(
                     PrivilegedTunnelStartupComponent::helper, PrivilegedTunnelStartupStage::helperConfigurationWrite,
                     kAttempt, 110.0, clock,
                     [&] {
                         clock.setUptime(101.2344);
                         throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::runtimeStorageUnavailable);
                     }),
                 PrivilegedRuntimeError);
    const std::vector<LogEntry> expected{
        {"app.tarnel.direct.startup", "timing", LogLevel::standard,
         std::string(kPrefix) + "outcome=started attempt=3F2504E0 stage_ms=0 remaining_ms=10000"},
        {"app.tarnel.direct.startup", "timing", LogLevel::error,
         std::string(kPrefix) +
             "outcome=failed attempt=3F2504E0 stage_ms=1234 remaining_ms=8766 "
             "error_type=TarnelDirect.PrivilegedRuntimeError"},
    };
    EXPECT_EQ(capture.entries(), expected);
}

TEST(StartupTiming, CompletedStageReturnsItsValueAndPastDeadlineIsNegative) {
    ScopedLogCapture capture;
    FakeClock clock(20.0);
    const int value = PrivilegedTunnelStartupTiming::timedStage(
        PrivilegedTunnelStartupComponent::application, PrivilegedTunnelStartupStage::helperRoundTrip, kAttempt, 20.25,
        clock, [&] {
            clock.advance(0.75);
            return 7;
        });
    EXPECT_EQ(value, 7);
    ASSERT_EQ(capture.entries().size(), 2u);
    EXPECT_EQ(capture.entries()[1].text,
              "startup_stage component=application stage=helper_round_trip outcome=completed attempt=3F2504E0 "
              "stage_ms=750 remaining_ms=-500");
    EXPECT_EQ(capture.entries()[1].level, LogLevel::standard);
}

// A clock that moves on by a fixed step whenever it is read.
class SteppingClock final : public Clock {
public:
    SteppingClock(double start, double step) : next_(start), step_(step) {}
    [[nodiscard]] double uptime() const override { return std::exchange(next_, next_ + step_); }
    [[nodiscard]] double wallSeconds() const override { return 0.0; }
    void sleepFor(double) const override {}

private:
    mutable double next_;
    double step_;
};

TEST(StartupTiming, StartedEventMeasuresFromTheStageStart) {
    ScopedLogCapture capture;
    const SteppingClock clock(100.0, 0.0006);
    PrivilegedTunnelStartupTiming::timedStage(PrivilegedTunnelStartupComponent::helper,
                                              PrivilegedTunnelStartupStage::helperConfigurationWrite, kAttempt, 110.0,
                                              clock, [] {});
    const auto lines = capture.sink().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(kPrefix) + "outcome=started attempt=3F2504E0 stage_ms=0 remaining_ms=10000");
    EXPECT_EQ(lines[1], std::string(kPrefix) + "outcome=completed attempt=3F2504E0 stage_ms=1 remaining_ms=9999");
}

TEST(StartupTiming, NonFiniteDeadlinesAreClamped) {
    const auto event = PrivilegedTunnelStartupTimingEvent::measure(
        PrivilegedTunnelStartupComponent::helper, PrivilegedTunnelStartupStage::helperProcessLaunch,
        PrivilegedTunnelStartupOutcome::completed, kAttempt, 1.0, 2.0, std::numeric_limits<double>::infinity());
    EXPECT_EQ(event.remainingMilliseconds, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(event.stageMilliseconds, 1000);
    const auto negative = PrivilegedTunnelStartupTimingEvent::measure(
        PrivilegedTunnelStartupComponent::helper, PrivilegedTunnelStartupStage::helperProcessLaunch,
        PrivilegedTunnelStartupOutcome::started, kAttempt, 1.0, 2.0, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(negative.remainingMilliseconds, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(negative.stageMilliseconds, 0);

    // A whole stage against an infinite deadline writes its lines.
    ScopedLogCapture capture;
    FakeClock clock(5.0);
    PrivilegedTunnelStartupTiming::timedStage(PrivilegedTunnelStartupComponent::helper,
                                              PrivilegedTunnelStartupStage::helperConfigurationWrite, kAttempt,
                                              std::numeric_limits<double>::infinity(), clock, [] {});
    const auto lines = capture.sink().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1],
              std::string(kPrefix) + "outcome=completed attempt=3F2504E0 stage_ms=0 remaining_ms=9223372036854775807");
}

TEST(StartupTiming, ConfigurationWriteUsesTheEffectiveDeadlineAtEntry) {
    ScopedLogCapture capture;
    FakeClock clock(40.0);
    PrivilegedTunnelStartupControl control({kAttempt, 100.0, false}, [] { return false; });
    control.routeDeadlineUptime = 50.0;
    control.progressObserved = true;
    timedConfigurationWrite(kAttempt, control, clock, [&] {
        clock.advance(1.0);
        control.routeDeadlineUptime = 60.0;  // later changes do not move this stage's deadline
    });
    const auto lines = capture.sink().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(kPrefix) + "outcome=started attempt=3F2504E0 stage_ms=0 remaining_ms=15000");
    EXPECT_EQ(lines[1], std::string(kPrefix) + "outcome=completed attempt=3F2504E0 stage_ms=1000 remaining_ms=14000");
}

TEST(StartupTiming, HelperProgramQualifiesErrorTypesWithItsModule) {
    ScopedLogCapture capture;
    setProgramModule(kHelperModule);
    PrivilegedTunnelStartupTiming::log(
        PrivilegedTunnelStartupTimingEvent::measure(PrivilegedTunnelStartupComponent::helper,
                                                    PrivilegedTunnelStartupStage::helperDNSRoute,
                                                    PrivilegedTunnelStartupOutcome::failed, kAttempt, 0.0, 0.0, 1.0),
        std::make_unique<PrivilegedRuntimeError>(PrivilegedRuntimeError::Case::protectedDNSRouteFailed).get());
    setProgramModule(kApplicationModule);
    ASSERT_EQ(capture.entries().size(), 1u);
    EXPECT_TRUE(capture.entries()[0].text.ends_with(" error_type=TarnelDirectHelper.PrivilegedRuntimeError"));
}

}  // namespace
}  // namespace tarnel
