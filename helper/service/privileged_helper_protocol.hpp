#pragma once

#include <memory>
#include <string_view>

#include "helper/service/privileged_helper_service.hpp"
#include "platform/ipc/interface.hpp"
#include "platform/ipc/server.hpp"

// The helper's protocol on the IPC channel: the thirteen operations by their
// selectors, the names and kinds of their arguments, and the names of their
// reply values. Absent values are nil; the application's client and the
// helper agree on these names and on nothing else.
namespace tarnel::PrivilegedHelperProtocol {

// The service name, from which the socket's name is derived.
inline constexpr std::string_view serviceName = "app.tarnel.direct.helper";

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

// The operations and their arguments. Every argument may be nil, as any
// object argument of the platform's IPC may: a nil text is read as "", a
// nil number as 0 and a nil configuration as empty data, which the
// operations then refuse as they refuse any other bad value.
[[nodiscard]] const ipc::Interface& interface();

// Serves one connection's requests with `service`.
[[nodiscard]] ipc::Handler handler(std::shared_ptr<const PrivilegedHelperService> service);

}  // namespace tarnel::PrivilegedHelperProtocol
