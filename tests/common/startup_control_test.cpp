#include "common/process/startup_control.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/process/runtime_error.hpp"

namespace tarnel {
namespace {

using RuntimeCase = PrivilegedRuntimeError::Case;

template <typename Action>
std::optional<RuntimeCase> failure(Action action) {
    try {
        action();
    } catch (const PrivilegedRuntimeError& error) {
        return error.errorCase();
    }
    return std::nullopt;
}

const Uuid kAttempt = *Uuid::parse("3F2504E0-4F89-11D3-9A0C-0305E82C3301");

TEST(StartupControl, DeadlineIsExclusiveAndCancellationWins) {
    bool cancelled = false;
    const PrivilegedTunnelStartupControl control({kAttempt, 100.0, false}, [&] { return cancelled; });
    EXPECT_EQ(failure([&] { control.checkpoint(99.999); }), std::nullopt);
    EXPECT_EQ(failure([&] { control.checkpoint(100.0); }), RuntimeCase::tunnelStartupDeadlineExceeded);
    EXPECT_EQ(failure([&] { control.checkpoint(std::numeric_limits<double>::quiet_NaN()); }),
              RuntimeCase::tunnelStartupDeadlineExceeded);
    cancelled = true;
    EXPECT_EQ(failure([&] { control.checkpoint(150.0); }), RuntimeCase::tunnelStartupCancelled);
    EXPECT_EQ(failure([&] { control.checkpoint(1.0); }), RuntimeCase::tunnelStartupCancelled);
}

TEST(StartupControl, RouteDeadlineReplacesTheRequestsAndProgressExtendsEither) {
    struct Case {
        std::optional<double> routeDeadline;
        bool progressObserved;
        double effective;
    };
    // The request's deadline is 100.
    for (const Case c : {Case{std::nullopt, false, 100.0}, Case{std::nullopt, true, 105.0}, Case{50.0, false, 50.0},
                         Case{50.0, true, 55.0}, Case{150.0, false, 150.0}, Case{150.0, true, 155.0}}) {
        SCOPED_TRACE("route " + (c.routeDeadline ? std::to_string(*c.routeDeadline) : std::string("none")) +
                     (c.progressObserved ? ", progress" : ""));
        PrivilegedTunnelStartupControl control({kAttempt, 100.0, true}, [] { return false; });
        control.routeDeadlineUptime = c.routeDeadline;
        control.progressObserved = c.progressObserved;
        EXPECT_EQ(control.effectiveDeadline(), c.effective);
        // A second before passes (after progress: 4 s past the deadline) and
        // the effective deadline itself fails.
        EXPECT_EQ(failure([&] { control.checkpoint(c.effective - 1.0); }), std::nullopt);
        EXPECT_EQ(failure([&] { control.checkpoint(c.effective); }), RuntimeCase::tunnelStartupDeadlineExceeded);
    }
}

TEST(PreparationControl, ReadsItsClockAndHasNoAllowance) {
    FakeClock clock(49.0);
    bool cancelled = false;
    const PrivilegedRuntimePreparationControl control({kAttempt, 50.0}, [&] { return cancelled; }, clock);
    EXPECT_EQ(failure([&] { control.checkpoint(); }), std::nullopt);
    clock.setUptime(50.0);
    EXPECT_EQ(failure([&] { control.checkpoint(); }), RuntimeCase::runtimePreparationDeadlineExceeded);
    clock.setUptime(54.0);
    EXPECT_EQ(failure([&] { control.checkpoint(); }), RuntimeCase::runtimePreparationDeadlineExceeded);
    cancelled = true;
    EXPECT_EQ(failure([&] { control.checkpoint(); }), RuntimeCase::tunnelStartupCancelled);
}

TEST(RuntimeError, EveryCaseInItsOrderWithItsMessage) {
    const std::vector<std::pair<RuntimeCase, std::string_view>> expected{
        {RuntimeCase::unauthorizedClient, "The privileged helper rejected the calling application."},
        {RuntimeCase::invalidBundledBinary, "The signed tunnel runtime could not be verified."},
        {RuntimeCase::invalidCodeSignature, "The signed tunnel runtime could not be verified."},
        {RuntimeCase::unsafeRuntimeDirectory, "The privileged runtime directory is not root-owned and private."},
        {RuntimeCase::unsafeStagedRuntime, "The staged tunnel runtime is not a root-owned private executable."},
        {RuntimeCase::runtimeStorageUnavailable, "The privileged runtime storage is unavailable."},
        {RuntimeCase::runtimeNotPrepared, "The signed tunnel runtime is not prepared for this application build."},
        {RuntimeCase::runtimePreparationDeadlineExceeded, "Preparing the signed tunnel runtime exceeded its deadline."},
        {RuntimeCase::processStartFailed, "The tunnel runtime could not be started."},
        {RuntimeCase::processExitedDuringStartup, "The tunnel runtime exited during startup."},
        {RuntimeCase::tunnelProcessDidNotStop, "The previous tunnel runtime did not stop during cleanup."},
        {RuntimeCase::tunnelInterfaceUnavailable, "The tunnel interface did not appear during startup."},
        {RuntimeCase::tunnelInterfaceDidNotDisappear, "The previous tunnel interface did not disappear during cleanup."},
        {RuntimeCase::ambiguousTunnelInterface, "More than one Tarnel tunnel interface appeared during startup."},
        {RuntimeCase::protectedDNSRouteFailed,
         "The protected DNS route could not be installed on the tunnel interface."},
        {RuntimeCase::endpointResolutionFailed, "The protected tunnel endpoint could not be resolved."},
        {RuntimeCase::tailscaleCompatibilityUnavailable,
         "Tailscale compatibility could not be verified; Tailscale was left untouched."},
        {RuntimeCase::tailscaleCompatibilityValidationFailed,
         "The installed Tailscale code or compatibility state could not be validated."},
        {RuntimeCase::packetFilterCommandFailed, "The system packet filter rejected the kill-switch policy."},
        {RuntimeCase::packetFilterEnableFailed, "The system packet filter did not return an enable reference."},
        {RuntimeCase::corruptKillSwitchState, "The protected kill-switch state is invalid."},
        {RuntimeCase::killSwitchLeaseExpired,
         "The kill-switch safety lease expired; reconnect to enable protection again."},
        {RuntimeCase::networkSetupFailed, "The system proxy command failed."},
        {RuntimeCase::corruptTunnelState, "The protected tunnel state is invalid; no process was stopped."},
        {RuntimeCase::corruptProxyState, "The protected proxy state is invalid; no network service was changed."},
        {RuntimeCase::tunnelStartupCancelled, "The tunnel startup was cancelled."},
        {RuntimeCase::tunnelStartupDeadlineExceeded, "The tunnel startup exceeded its deadline."},
    };
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(PrivilegedRuntimeError::caseCount));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(expected[i].first), i);
        const PrivilegedRuntimeError error(expected[i].first);
        EXPECT_EQ(error.message(), expected[i].second);
        EXPECT_STREQ(error.what(), std::string(expected[i].second).c_str());
    }
}

TEST(RuntimeError, MessagesAndReplyCodes) {
    EXPECT_EQ(PrivilegedRuntimeError(RuntimeCase::unauthorizedClient).message(),
              "The privileged helper rejected the calling application.");
    EXPECT_EQ(PrivilegedRuntimeError(RuntimeCase::invalidBundledBinary).message(),
              PrivilegedRuntimeError(RuntimeCase::invalidCodeSignature).message());
    EXPECT_EQ(PrivilegedRuntimeError(RuntimeCase::killSwitchLeaseExpired).message(),
              "The kill-switch safety lease expired; reconnect to enable protection again.");
    EXPECT_EQ(PrivilegedRuntimeError(RuntimeCase::tunnelStartupDeadlineExceeded).message(),
              "The tunnel startup exceeded its deadline.");

    std::vector<std::pair<RuntimeCase, std::string_view>> coded;
    for (int i = 0; i < PrivilegedRuntimeError::caseCount; ++i) {
        const PrivilegedRuntimeError error(static_cast<RuntimeCase>(i));
        EXPECT_FALSE(error.message().empty());
        if (const auto code = error.replyCode()) coded.emplace_back(error.errorCase(), *code);
    }
    const std::vector<std::pair<RuntimeCase, std::string_view>> expected{
        {RuntimeCase::runtimeNotPrepared, "runtime_not_prepared"},
        {RuntimeCase::runtimePreparationDeadlineExceeded, "runtime_preparation_deadline_exceeded"},
        {RuntimeCase::tailscaleCompatibilityUnavailable, "tailscale_compatibility_unavailable"},
        {RuntimeCase::tailscaleCompatibilityValidationFailed, "tailscale_compatibility_validation_failed"},
        {RuntimeCase::tunnelStartupCancelled, "cancelled"},
    };
    EXPECT_EQ(coded, expected);
}

}  // namespace
}  // namespace tarnel
