// Which errors of a candidate's start count against its route.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/tunnel/connect_support.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {
namespace {

using ClientError = PrivilegedHelperClientError;

TEST(TunnelStartupErrors, CountsOnlyFailuresOfTheRouteItself) {
    const auto failure = [](const auto& error) {
        return TunnelStartupErrors::isCandidateFailure(std::make_exception_ptr(error));
    };
    EXPECT_FALSE(failure(CancellationError()));
    for (const auto tailscale :
         {TailscaleCompatibilityError::Case::commandUnavailable, TailscaleCompatibilityError::Case::commandFailed,
          TailscaleCompatibilityError::Case::validationFailed, TailscaleCompatibilityError::Case::relayUnavailable,
          TailscaleCompatibilityError::Case::exitNodeUnsupported, TailscaleCompatibilityError::Case::startupCancelled,
          TailscaleCompatibilityError::Case::startupDeadlineExceeded}) {
        EXPECT_FALSE(failure(TailscaleCompatibilityError(tailscale)));
    }
    EXPECT_FALSE(failure(TailscaleCompatibilityError::invalidResponse("status")));

    // The helper's refusals count unless they speak of a cancel, in any case.
    EXPECT_TRUE(failure(ClientError::helperRejected("boom")));
    EXPECT_FALSE(failure(ClientError::helperRejected("Start Cancelled by user")));
    EXPECT_FALSE(failure(ClientError::helperRejected("CANCEL")));
    for (const auto other :
         {ClientError::Case::invalidProxy, ClientError::Case::invalidReply, ClientError::Case::timedOut,
          ClientError::Case::connectionInterrupted, ClientError::Case::connectionInvalidated,
          ClientError::Case::invalidHelperIdentity, ClientError::Case::runtimePreparationRequired,
          ClientError::Case::runtimePreparationDeadlineExceeded}) {
        EXPECT_FALSE(failure(ClientError(other)));
    }
    EXPECT_FALSE(failure(ClientError::incompatibleProtocol(35, 34)));

    // Any other error by its description.
    EXPECT_TRUE(failure(PrivilegedHelperContractError::invalidConfiguration("unsupported outbound")));
    EXPECT_TRUE(failure(std::runtime_error("disk full")));
    EXPECT_FALSE(failure(std::runtime_error("Operation failed (-128)")));
    EXPECT_FALSE(failure(std::runtime_error("Operation CANCELLED")));
    EXPECT_TRUE(failure(42));  // not an exception: its description is "unknown error"
    EXPECT_FALSE(TunnelStartupErrors::isCandidateFailure(std::exception_ptr()));
    EXPECT_TRUE(TunnelStartupErrors::isCandidateFailure(std::runtime_error("disk full")));
}

}  // namespace
}  // namespace tarnel
