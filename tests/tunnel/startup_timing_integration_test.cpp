// The application's timed runtime preparation: its timing lines around the
// helper's preparation.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/tunnel/startup_timing.hpp"
#include "common/base/log.hpp"
#include "tests/tunnel/fake_helper.hpp"

namespace tarnel::testing {
namespace {

const Uuid kAttempt = *Uuid::parse("3F2504E0-4F89-11D3-9A0C-0305E82C3301");
const std::string kToken = "0B5E5A53-7C9E-4D52-8E2B-5F0A3C1D2E4F";
const std::string kPrefix =
    "startup_stage component=application stage=application_runtime_preparation outcome=";

TEST(PrivilegedTunnelStartupTiming, TimesTheRuntimePreparation) {
    const FakeClock clock(100.0);
    FakeHelper helper;
    helper.answer(Protocol::selector::prepareRuntime, Answer::reply({{"token", kToken}}));
    const ScopedLogCapture capture;
    EXPECT_EQ(PrivilegedTunnelStartupTiming::timedRuntimePreparation(PrivilegedHelperClient(helper.endpoint(clock)),
                                                                     kAttempt, 110.0, clock),
              kToken);
    const std::string numbers = " attempt=3F2504E0 stage_ms=0 remaining_ms=10000";
    EXPECT_EQ(capture.entries(),
              (std::vector<LogEntry>{
                  {"app.tarnel.direct.startup", "timing", LogLevel::standard, kPrefix + "started" + numbers},
                  {"app.tarnel.direct.startup", "timing", LogLevel::standard, kPrefix + "completed" + numbers},
              }));
    EXPECT_EQ(helper.connections()[0].back().request.arguments.at("deadlineUptime"), ipc::Value(110.0));
}

TEST(PrivilegedTunnelStartupTiming, TimesAFailedPreparationAndRethrowsItsError) {
    const FakeClock clock(100.0);
    FakeHelper helper;
    helper.answer(Protocol::selector::prepareRuntime,
                  Answer::reply({{"errorCode", std::string("runtime_preparation_deadline_exceeded")},
                                 {"errorMessage", std::string("late")}}));
    const ScopedLogCapture capture;
    try {
        (void)PrivilegedTunnelStartupTiming::timedRuntimePreparation(PrivilegedHelperClient(helper.endpoint(clock)),
                                                                     kAttempt, 110.0, clock);
        ADD_FAILURE() << "the preparation succeeded";
    } catch (const PrivilegedHelperClientError& error) {
        EXPECT_EQ(error, PrivilegedHelperClientError(
                             PrivilegedHelperClientError::Case::runtimePreparationDeadlineExceeded));
    }
    const std::string numbers = " attempt=3F2504E0 stage_ms=0 remaining_ms=10000";
    EXPECT_EQ(capture.entries(),
              (std::vector<LogEntry>{
                  {"app.tarnel.direct.startup", "timing", LogLevel::standard, kPrefix + "started" + numbers},
                  {"app.tarnel.direct.startup", "timing", LogLevel::error,
                   kPrefix + "failed" + numbers + " error_type=TarnelDirect.PrivilegedHelperClientError"},
              }));
}

// The stage of another piece of work: its own result passes through, and
// the time it took is measured on the clock.
TEST(PrivilegedTunnelStartupTiming, TimesAnyApplicationStage) {
    FakeClock clock(100.0);
    ScopedLogCapture capture;
    const int result = PrivilegedTunnelStartupTiming::timedStage(
        PrivilegedTunnelStartupStage::applicationTailscaleSnapshot, kAttempt, 110.0, clock, [&] {
            clock.advance(1.2344);
            return 7;
        });
    EXPECT_EQ(result, 7);
    EXPECT_EQ(capture.sink().lines(),
              (std::vector<std::string>{
                  "startup_stage component=application stage=application_tailscale_snapshot outcome=started "
                  "attempt=3F2504E0 stage_ms=0 remaining_ms=10000",
                  "startup_stage component=application stage=application_tailscale_snapshot outcome=completed "
                  "attempt=3F2504E0 stage_ms=1234 remaining_ms=8766",
              }));
}

}  // namespace
}  // namespace tarnel::testing
