#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// The names of the helper's protocol that the application and the helper
// agree on: the service, the version, the thirteen operations by their
// selectors, the names of their arguments and reply values, and the reply
// codes of a failed preparation or start. Absent values are nil. What each
// side does with them lives with that side (the helper's service and its
// IPC adapter, the application's helper client).
namespace tarnel::PrivilegedHelperProtocol {

// The service name, from which the socket's name is derived.
inline constexpr std::string_view serviceName = "app.tarnel.direct.helper";

// The protocol version; both sides require exactly this value.
inline constexpr std::int64_t version = 35;

// The windows of a preparation's and a start's deadline (seconds of system
// uptime): a preparation's deadline lies after now and at most
// preparationWindow ahead; a start's deadline lies after now, and with
// startGrace, plus tailscaleAllowance when Tailscale compatibility data is
// sent, at most startWindow ahead. Both sides refuse a request outside them.
inline constexpr double preparationWindow = 47.0;
inline constexpr double startWindow = 32.0;
inline constexpr double startGrace = 5.0;
inline constexpr double tailscaleAllowance = 5.0;

namespace selector {
inline constexpr std::string_view protocolVersion = "protocolVersionWithReply:";
inline constexpr std::string_view helperIdentity = "helperIdentityWithReply:";
inline constexpr std::string_view tunnelStatus = "tunnelStatusWithReply:";
inline constexpr std::string_view tunnelProtectionStatus = "tunnelProtectionStatusWithReply:";
inline constexpr std::string_view renewTunnelProtectionLease = "renewTunnelProtectionLeaseWithReply:";
inline constexpr std::string_view prepareRuntime = "prepareRuntimeWithAttemptIdentifier:deadlineUptime:withReply:";
inline constexpr std::string_view startTunnel =
    "startTunnelWithConfiguration:tailscaleCompatibility:preparedRuntimeToken:attemptIdentifier:deadlineUptime:"
    "withReply:";
inline constexpr std::string_view cancelTunnelStart = "cancelTunnelStartWithAttemptIdentifier:withReply:";
inline constexpr std::string_view stopTunnelForAttempt = "stopTunnelForAttemptWithAttemptIdentifier:withReply:";
inline constexpr std::string_view stopTunnel = "stopTunnelWithReply:";
inline constexpr std::string_view disconnectTunnel = "disconnectTunnelWithReply:";
inline constexpr std::string_view enableSystemProxy = "enableSystemProxyWithServiceName:withReply:";
inline constexpr std::string_view disableSystemProxy = "disableSystemProxyWithReply:";
}  // namespace selector

// Argument names.
namespace argument {
inline constexpr std::string_view attemptIdentifier = "attemptIdentifier";
inline constexpr std::string_view deadlineUptime = "deadlineUptime";
inline constexpr std::string_view configuration = "configuration";
inline constexpr std::string_view tailscaleCompatibility = "tailscaleCompatibility";
inline constexpr std::string_view preparedRuntimeToken = "preparedRuntimeToken";
inline constexpr std::string_view serviceName = "serviceName";
}  // namespace argument

// Reply value names.
namespace reply {
inline constexpr std::string_view version = "version";
inline constexpr std::string_view processIdentifier = "processIdentifier";
inline constexpr std::string_view routeDeadline = "routeDeadline";
inline constexpr std::string_view token = "token";
inline constexpr std::string_view ok = "ok";
inline constexpr std::string_view active = "active";
inline constexpr std::string_view error = "error";
inline constexpr std::string_view errorCode = "errorCode";
inline constexpr std::string_view errorMessage = "errorMessage";
}  // namespace reply

// The codes sent beside the message of a failed preparation or start, for
// the failures the application must tell apart; every other failure sends
// none.
namespace replyCode {
inline constexpr std::string_view cancelled = "cancelled";
inline constexpr std::string_view runtimeNotPrepared = "runtime_not_prepared";
inline constexpr std::string_view runtimePreparationDeadlineExceeded = "runtime_preparation_deadline_exceeded";
inline constexpr std::string_view tailscaleCompatibilityUnavailable = "tailscale_compatibility_unavailable";
inline constexpr std::string_view tailscaleCompatibilityValidationFailed = "tailscale_compatibility_validation_failed";

// Every code, in this order; the application indexes them by it.
inline constexpr std::array<std::string_view, 5> all{
    cancelled,
    runtimeNotPrepared,
    runtimePreparationDeadlineExceeded,
    tailscaleCompatibilityUnavailable,
    tailscaleCompatibilityValidationFailed,
};
}  // namespace replyCode

}  // namespace tarnel::PrivilegedHelperProtocol
