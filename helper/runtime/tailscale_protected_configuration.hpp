#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/contract/tunnel_configuration_validator.hpp"
#include "helper/protection/tailscale_underlay_endpoint.hpp"

namespace tarnel {

// The helper's own additions to an accepted TUN configuration when Tailscale
// runs beside the tunnel: Tailscale's tunnel interface is kept out of the TUN
// inbound and the addresses of its underlay endpoints out of the tunnel's
// routes. Only the helper writes these fields; the shared validator refuses
// them in anything the application sends.
//
// Stateless and pure: no file, network or clock access.
namespace PrivilegedTunnelConfigurationValidator {

// Validates `configuration` exactly as `validate` does, then returns it with
// `inbounds[0].exclude_interface` set to [tailscaleInterface] and the underlay
// exclusions appended to `inbounds[0].route_exclude_address` (those not
// already listed, in their sorted order, after the existing entries). Every
// other key stays as received. Written pretty, keys sorted, "/" unescaped.
//
// Throws PrivilegedHelperContractError::invalidConfiguration with the
// validator's reasons, "protected DNS tunnel interface is invalid", "Tailscale
// protected configuration is invalid", "Tailscale compatibility fields must be
// helper-owned", "Tailscale protected configuration is too large" (over
// `maximumSize` bytes) or the endpoint reasons of `underlayExclusions`; or the
// JSON reader's or writer's json::JsonError. The bound is 524288 bytes, like
// the configuration's own; what the validator accepts with the longest
// underlay list stays far below it, so tests check the bound with a smaller one.
[[nodiscard]] std::string protectedConfiguration(std::string_view configuration, std::string_view tailscaleInterface,
                                                 const std::vector<TailscaleUnderlayEndpoint>& underlayEndpoints,
                                                 std::size_t maximumSize = maximumConfigurationSize);

// The distinct endpoint addresses as one-address prefixes (IPv4 + "/32",
// IPv6 + "/128"), ascending as text. Throws the endpoint list's own
// invalidConfiguration reasons, or "Tailscale underlay address is invalid".
[[nodiscard]] std::vector<std::string> underlayExclusions(const std::vector<TailscaleUnderlayEndpoint>& endpoints);

}  // namespace PrivilegedTunnelConfigurationValidator
}  // namespace tarnel
