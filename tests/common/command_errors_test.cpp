#include <gtest/gtest.h>

#include <cmath>
#include <stop_token>

#include "common/base/utf8.hpp"
#include "common/contract/competing_vpn_detector_error.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {
namespace {

TEST(CommandErrors, MessagesAndTypeNames) {
    using Tailscale = TailscaleCompatibilityError::Case;
    const std::pair<TailscaleCompatibilityError, const char*> tailscale[] = {
        {TailscaleCompatibilityError::invalidResponse("DERP map"), "Tailscale returned an invalid DERP map response."},
        {TailscaleCompatibilityError(Tailscale::commandUnavailable),
         "Tailscale is connected but its local command is unavailable."},
        {TailscaleCompatibilityError(Tailscale::commandFailed),
         "Tailscale is connected but did not provide compatibility state."},
        {TailscaleCompatibilityError(Tailscale::validationFailed),
         "The installed Tailscale application could not be validated for safe compatibility."},
        {TailscaleCompatibilityError(Tailscale::relayUnavailable),
         "Tailscale has no active relay region for safe VPN compatibility."},
        {TailscaleCompatibilityError(Tailscale::exitNodeUnsupported),
         "Disconnect the Tailscale exit node before starting Tarnel Direct."},
        {TailscaleCompatibilityError(Tailscale::startupCancelled), "The tunnel startup was cancelled."},
        {TailscaleCompatibilityError(Tailscale::startupDeadlineExceeded), "The tunnel startup exceeded its deadline."},
    };
    for (const auto& [error, message] : tailscale) {
        EXPECT_EQ(error.message(), message);
        EXPECT_EQ(error.typeName(), "TarnelDirect.TailscaleCompatibilityError");
    }
    EXPECT_EQ(TailscaleCompatibilityError::invalidResponse("status"), TailscaleCompatibilityError::invalidResponse("status"));
    EXPECT_FALSE(TailscaleCompatibilityError::invalidResponse("status") ==
                 TailscaleCompatibilityError::invalidResponse("preferences"));
    EXPECT_FALSE(TailscaleCompatibilityError(Tailscale::commandFailed) ==
                 TailscaleCompatibilityError(Tailscale::commandUnavailable));

    const auto competing = CompetingVPNDetectorError::commandFailed("scutil failed");
    EXPECT_EQ(competing.message(), "Could not verify other active VPN profiles: scutil failed");
    EXPECT_EQ(competing.typeName(), "TarnelDirect.CompetingVPNDetectorError");
    EXPECT_FALSE(competing == CompetingVPNDetectorError::commandFailed("scutil timed out"));

    const BoundedCommandRunnerError runner(BoundedCommandRunnerError::Case::outputTooLarge);
    EXPECT_EQ(runner.typeName(), "TarnelDirect.BoundedCommandRunnerError");
    EXPECT_EQ(runner, BoundedCommandRunnerError(BoundedCommandRunnerError::Case::outputTooLarge));
    EXPECT_FALSE(runner == BoundedCommandRunnerError(BoundedCommandRunnerError::Case::launchFailed));
    EXPECT_EQ(CancellationError().typeName(), "TarnelDirect.CancellationError");
}

TEST(CommandErrors, TailscaleCheckpointPrefersCancellationAndFailsAtTheDeadline) {
    FakeClock clock(100.0);
    std::stop_source running;
    EXPECT_NO_THROW(TailscaleCompatibility::checkpoint(100.5, running.get_token(), clock));
    const auto failure = [&](double deadline, const std::stop_token& stop) {
        try {
            TailscaleCompatibility::checkpoint(deadline, stop, clock);
        } catch (const TailscaleCompatibilityError& error) {
            return std::optional(error.errorCase());
        }
        return std::optional<TailscaleCompatibilityError::Case>();
    };
    EXPECT_EQ(failure(100.0, running.get_token()), TailscaleCompatibilityError::Case::startupDeadlineExceeded);
    EXPECT_EQ(failure(std::nan(""), running.get_token()), TailscaleCompatibilityError::Case::startupDeadlineExceeded);
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(failure(100.5, stopped.get_token()), TailscaleCompatibilityError::Case::startupCancelled);
    EXPECT_EQ(failure(99.0, stopped.get_token()), TailscaleCompatibilityError::Case::startupCancelled);
}

TEST(Utf8, ReplacesEachMaximalIllFormedSubpartWithOneReplacementCharacter) {
    // Expected texts as Python's bytes.decode("utf-8", "replace") gives them.
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"plain text", "plain text"},
        {"\xE2\x82\xAC \xF4\x8F\xBF\xBF", "\xE2\x82\xAC \xF4\x8F\xBF\xBF"},
        {"\xE2\x82" "A", r + "A"},
        {"\xF0\x80\x80", r + r + r},
        {"\xED\xA0\x80", r + r + r},
        {"\xF4\x90", r + r},
        {"\xC0\xAF", r + r},
        {"\xE0\xA0", r},
        {"\xFF", r},
        {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" + r + r + r + "b" + r + "c" + r + r + "d"},
        {std::string("nul\0byte", 8), std::string("nul\0byte", 8)},
    };
    for (const auto& [input, expected] : cases) {
        const std::string decoded = utf8::decodeReplacingInvalid(input);
        EXPECT_EQ(decoded, expected) << ::testing::PrintToString(input);
        EXPECT_TRUE(utf8::isValid(decoded));
    }
}

}  // namespace
}  // namespace tarnel
