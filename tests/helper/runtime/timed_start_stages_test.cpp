#include "helper/runtime/timed_start_stages.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/log.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/process/runtime_error.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using Stage = PrivilegedTunnelStartupStage;
using Case = PrivilegedRuntimeError::Case;

const Uuid kAttempt = *Uuid::parse("3F2504E0-4F89-11D3-9A0C-0305E82C3301");

std::string plainText() { return testing::readFixture("tunnel-config/plain-pinned-interface.json"); }

PrivilegedTunnelStartupControl controlWithDeadline(double deadline, bool cancelled = false) {
    return PrivilegedTunnelStartupControl({kAttempt, deadline, true}, [cancelled] { return cancelled; });
}

std::string line(std::string_view stage, std::string_view outcome, long stageMs, long remainingMs) {
    return "startup_stage component=helper stage=" + std::string(stage) + " outcome=" + std::string(outcome) +
           " attempt=3F2504E0 stage_ms=" + std::to_string(stageMs) + " remaining_ms=" + std::to_string(remainingMs);
}

std::optional<Case> runtimeCase(const std::function<void()>& action) {
    try {
        action();
    } catch (const PrivilegedRuntimeError& error) {
        return error.errorCase();
    }
    return std::nullopt;
}

const std::vector<TailscaleUnderlayEndpoint> kEndpoints = {{"100.64.1.2", 41641, TailscaleUnderlayTransport::udp}};

// A fixture of the injected collaborators that records what the stages asked.
struct Collaborators {
    FakeClock clock{0.0};
    std::optional<RecordedTailscaleProtection> record;
    std::vector<std::string> existingInterfaces{"en0", "utun4"};
    int fullValidations = 0;
    bool inspecting = false;
    int lookupsOutsideTheRecord = 0;
    std::optional<std::uint32_t> user = 501;

    TimedStartStages stages() {
        TimedStartStages::Dependencies dependencies;
        dependencies.clock = &clock;
        dependencies.inspectLiveProtection = [this](const TimedStartStages::Dependencies::ProtectionInspector& inspect) {
            inspecting = true;
            inspect(record);
            inspecting = false;
        };
        dependencies.interfaceExists = [this](std::string_view name) {
            // The record's interfaces are looked at while it is held.
            if (!inspecting) ++lookupsOutsideTheRecord;
            return std::find(existingInterfaces.begin(), existingInterfaces.end(), name) != existingInterfaces.end();
        };
        dependencies.validateTailscale = [this](const std::vector<std::int64_t>&, std::int64_t, const std::string&,
                                                std::uint32_t, const PrivilegedTunnelStartupControl&) {
            ++fullValidations;
            return TailscaleValidationResult{kEndpoints, "utun7"};
        };
        dependencies.clientUserIdentifier = user;
        dependencies.cachedPreparedRuntime = [](std::string_view) {
            return std::optional<PrivilegedRuntime::PreparedRuntime>{};
        };
        return TimedStartStages(std::move(dependencies));
    }
};

TEST(TimedStartStages, LogsElapsedAndRemainingMillisecondsRoundedAroundTheBody) {
    Collaborators collaborators;
    ScopedLogCapture capture;
    const auto control = controlWithDeadline(10.0);
    collaborators.stages().timedStage(Stage::helperPreviousRuntimeCleanup, control,
                                      [&] { collaborators.clock.advance(1.2344); });
    EXPECT_EQ(capture.sink().lines(),
              (std::vector<std::string>{line("helper_previous_runtime_cleanup", "started", 0, 10000),
                                        line("helper_previous_runtime_cleanup", "completed", 1234, 8766)}));
}

// Answers the given uptimes one read at a time, the last one from then on.
class ScriptedClock final : public Clock {
public:
    explicit ScriptedClock(std::vector<double> readings) : readings_(std::move(readings)) {}
    [[nodiscard]] double uptime() const override {
        const double value = readings_[std::min(next_, readings_.size() - 1)];
        ++next_;
        return value;
    }
    [[nodiscard]] double wallSeconds() const override { return 0.0; }
    void sleepFor(double) const override {}

private:
    std::vector<double> readings_;
    mutable std::size_t next_ = 0;
};

TEST(TimedStartStages, ValidationEndingPastTheBudgetFailsWithTheDeadlineAndANegativeRemainder) {
    // Stage start, first checkpoint, then the validation took until 1.5 s:
    // the second checkpoint and the failed record read 1.5.
    ScriptedClock clock({0.0, 0.1, 1.5});
    TimedStartStages::Dependencies dependencies;
    dependencies.clock = &clock;
    const TimedStartStages stages(std::move(dependencies));
    ScopedLogCapture capture;
    auto control = controlWithDeadline(1.0);
    EXPECT_EQ(runtimeCase([&] {
                  (void)stages.timedConfigurationValidation(Stage::helperConfigurationValidation, control, plainText());
              }),
              Case::tunnelStartupDeadlineExceeded);
    const auto lines = capture.sink().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], line("helper_configuration_validation", "started", 0, 1000));
    EXPECT_EQ(lines[1].rfind(line("helper_configuration_validation", "failed", 1500, -500) + " error_type=", 0), 0u)
        << lines[1];

    // With progress observed the budget ends 5 s later, for the records and the checkpoints.
    ScriptedClock laterClock({0.0, 0.1, 1.5});
    TimedStartStages::Dependencies laterDependencies;
    laterDependencies.clock = &laterClock;
    const TimedStartStages laterStages(std::move(laterDependencies));
    capture.sink().clear();
    control.progressObserved = true;
    EXPECT_EQ(laterStages.timedConfigurationValidation(Stage::helperConfigurationValidation, control, plainText()).endpoint,
              "198.51.100.7");
    EXPECT_EQ(capture.sink().lines(),
              (std::vector<std::string>{line("helper_configuration_validation", "started", 0, 6000),
                                        line("helper_configuration_validation", "completed", 1500, 4500)}));
}

TEST(TimedStartStages, CancelledCheckpointIsOneFailedRecord) {
    Collaborators collaborators;
    ScopedLogCapture capture;
    EXPECT_EQ(runtimeCase([&] {
                  collaborators.stages().timedCheckpoint(Stage::helperPostLaunchCheckpoint,
                                                         controlWithDeadline(10.0, true));
              }),
              Case::tunnelStartupCancelled);
    const auto lines = capture.sink().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("outcome=failed"), std::string::npos);
    EXPECT_NE(lines[1].find("error_type="), std::string::npos);
}

TEST(TimedStartStages, TailscaleValidationReusesOnlyAMatchingLiveProtection) {
    const RecordedTailscaleProtection matching{true, std::vector<std::int64_t>{1, 7}, 7, "en0", "utun4", kEndpoints};
    struct Row {
        const char* name;
        std::optional<RecordedTailscaleProtection> record;
        std::optional<std::string> physicalInterface;
        std::optional<std::uint32_t> user;
        std::optional<Case> failure;
        std::string tunnelInterface;  // when it succeeds
        int fullValidations;
    };
    auto changed = [&](const std::function<void(RecordedTailscaleProtection&)>& change) {
        RecordedTailscaleProtection record = matching;
        change(record);
        return std::optional(record);
    };
    const std::vector<Row> rows = {
        {"no record: full validation", std::nullopt, "en0", 501, std::nullopt, "utun7", 1},
        {"protection not desired", changed([](auto& r) { r.protectionDesired = false; }), "en0", 501, std::nullopt,
         "utun7", 1},
        {"matching record reused", matching, "en0", 501, std::nullopt, "utun4", 0},
        {"no physical interface", std::nullopt, std::nullopt, 501, Case::tailscaleCompatibilityUnavailable, "", 0},
        {"no user", std::nullopt, "en0", std::nullopt, Case::tailscaleCompatibilityUnavailable, "", 0},
        {"protection without Tailscale data",
         changed([](auto& r) {
             r.regionIDs.reset();
             r.tunnelInterface.reset();
             r.underlayEndpoints.reset();
         }),
         "en0", 501, Case::tailscaleCompatibilityUnavailable, "", 0},
        {"other region order", changed([](auto& r) { r.regionIDs = std::vector<std::int64_t>{7, 1}; }), "en0", 501,
         Case::tailscaleCompatibilityUnavailable, "", 0},
        {"tunnel interface gone", changed([](auto& r) { r.tunnelInterface = "utun9"; }), "en0", 501,
         Case::tailscaleCompatibilityUnavailable, "", 0},
        {"recorded endpoint invalid",
         changed([](auto& r) { r.underlayEndpoints = {{{"relay.example", 443, TailscaleUnderlayTransport::tcp}}}; }),
         "en0", 501, Case::tailscaleCompatibilityUnavailable, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Collaborators collaborators;
        collaborators.record = row.record;
        collaborators.user = row.user;
        ScopedLogCapture capture;
        const TimedStartStages stages = collaborators.stages();
        std::optional<TailscaleValidationResult> result;
        EXPECT_EQ(runtimeCase([&] {
                      result = stages.timedTailscaleValidation(Stage::helperTailscaleValidation, controlWithDeadline(10.0),
                                                               row.physicalInterface, {1, 7}, 7);
                  }),
                  row.failure);
        if (!row.failure) {
            ASSERT_TRUE(result);
            EXPECT_EQ(result->tunnelInterface, row.tunnelInterface);
        }
        EXPECT_EQ(collaborators.fullValidations, row.fullValidations);
        EXPECT_EQ(collaborators.lookupsOutsideTheRecord, 0);
        EXPECT_EQ(capture.sink().lines().size(), 2u);
    }
}

TEST(TimedStartStages, MissingPreparedRuntimeIsRuntimeNotPrepared) {
    Collaborators collaborators;
    EXPECT_EQ(runtimeCase([&] {
                  (void)collaborators.stages().reusePreparedRuntime("3F2504E0-4F89-11D3-9A0C-0305E82C3301",
                                                                    controlWithDeadline(10.0));
              }),
              Case::runtimeNotPrepared);
}

TEST(TimedStartStages, DecodeGivesNothingWithoutARequest) {
    Collaborators collaborators;
    const auto control = controlWithDeadline(10.0);
    EXPECT_EQ(collaborators.stages().timedTailscaleDecode(Stage::helperTailscaleDecode, control, std::nullopt),
              std::nullopt);
    const auto decoded = collaborators.stages().timedTailscaleDecode(
        Stage::helperTailscaleDecode, control, std::string(R"({"schema":2,"derp_region_ids":[1,7],"relay_region_id":7})"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->relayRegionID, 7);
}

}  // namespace
}  // namespace tarnel
