// The helper client's errors and its mapping of the helper's reply codes.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/tunnel/privileged_helper_client.hpp"
#include "common/base/error.hpp"

namespace tarnel {
namespace {

using ClientError = PrivilegedHelperClientError;

TEST(PrivilegedHelperClientError, HasTheFixedMessages) {
    const struct {
        ClientError error;
        const char* message;
    } cases[] = {
        {ClientError::helperRejected("Disk is full."), "Disk is full."},
        {ClientError::incompatibleProtocol(35, 34),
         "The privileged helper is incompatible (expected version 35, received 34)."},
        {ClientError::incompatibleProtocol(35, -7),
         "The privileged helper is incompatible (expected version 35, received -7)."},
        {ClientError(ClientError::Case::invalidProxy), "The privileged helper interface is unavailable."},
        {ClientError(ClientError::Case::invalidReply), "The privileged helper returned an invalid response."},
        {ClientError(ClientError::Case::timedOut), "The privileged helper did not respond in time."},
        {ClientError(ClientError::Case::connectionInterrupted), "The privileged helper connection was interrupted."},
        {ClientError(ClientError::Case::connectionInvalidated), "The privileged helper connection was closed."},
        {ClientError(ClientError::Case::invalidHelperIdentity),
         "The privileged helper returned an invalid live process identity."},
        {ClientError(ClientError::Case::runtimePreparationRequired),
         "The signed tunnel runtime must be prepared again before connecting."},
        {ClientError(ClientError::Case::runtimePreparationDeadlineExceeded),
         "Preparing the signed tunnel runtime exceeded its deadline."},
    };
    for (const auto& [error, message] : cases) {
        EXPECT_EQ(error.message(), message);
        EXPECT_STREQ(error.what(), message);
        EXPECT_EQ(error.typeName(), "TarnelDirect.PrivilegedHelperClientError");
    }
}

// What the mapped error is: its module-qualified type and its message.
std::string mapped(const std::optional<std::string>& code, const std::string& message) {
    try {
        std::rethrow_exception(PrivilegedHelperClient::mapHelperErrorCode(code, message));
    } catch (const std::exception& error) {
        return errorTypeName(error) + ": " + errorMessage(error);
    }
}

TEST(PrivilegedHelperClient, MapsTheHelpersReplyCodesExactly) {
    const struct {
        std::optional<std::string> code;
        std::size_t index;
        const char* error;
    } cases[] = {
        {"cancelled", 0, "TarnelDirect.CancellationError: The operation was cancelled."},
        {"runtime_not_prepared", 1,
         "TarnelDirect.PrivilegedHelperClientError: The signed tunnel runtime must be prepared again before "
         "connecting."},
        {"runtime_preparation_deadline_exceeded", 2,
         "TarnelDirect.PrivilegedHelperClientError: Preparing the signed tunnel runtime exceeded its deadline."},
        {"tailscale_compatibility_unavailable", 3,
         "TarnelDirect.TailscaleCompatibilityError: Tailscale is connected but did not provide compatibility "
         "state."},
        {"tailscale_compatibility_validation_failed", 4,
         "TarnelDirect.TailscaleCompatibilityError: The installed Tailscale application could not be validated for "
         "safe compatibility."},
        // Any other code, in another letter case or padded, and no code at all.
        {"Cancelled", 5, "TarnelDirect.PrivilegedHelperClientError: m"},
        {"cancelled ", 5, "TarnelDirect.PrivilegedHelperClientError: m"},
        {"", 5, "TarnelDirect.PrivilegedHelperClientError: m"},
        {std::nullopt, 5, "TarnelDirect.PrivilegedHelperClientError: m"},
    };
    for (const auto& [code, index, error] : cases) {
        SCOPED_TRACE(code.value_or("(none)"));
        EXPECT_EQ(PrivilegedHelperClient::helperErrorCodeIndex(code), index);
        EXPECT_EQ(mapped(code, "m"), error);
    }
}

TEST(PrivilegedHelperClient, CarriesTheProtocolsCancelAndStopRequests) {
    const Uuid attempt = *Uuid::parse("3f2504e0-4f89-11d3-9a0c-0305e82c3301");
    const ipc::Dictionary arguments{{"attemptIdentifier", std::string("3F2504E0-4F89-11D3-9A0C-0305E82C3301")}};
    EXPECT_EQ(PrivilegedHelperClient::requestCancelTunnelStart(attempt),
              (ipc::Request{"cancelTunnelStartWithAttemptIdentifier:withReply:", arguments}));
    EXPECT_EQ(PrivilegedHelperClient::requestStopTunnelForAttempt(attempt),
              (ipc::Request{"stopTunnelForAttemptWithAttemptIdentifier:withReply:", arguments}));
}

TEST(HelperEndpoint, ProductionIsRootsSocketOnTheSystemClock) {
    const HelperEndpoint endpoint = HelperEndpoint::production();
    EXPECT_EQ(endpoint.socketPath, "/var/run/tarnel-direct/app.tarnel.direct.helper.socket");
    EXPECT_EQ(endpoint.serviceUser, 0u);
    EXPECT_EQ(endpoint.clock, &SystemClock::shared());
}

}  // namespace
}  // namespace tarnel
