#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper/protection/tailscale_underlay_endpoint.hpp"

// The kill switch's packet-filter rule set: the checks of its inputs and the
// text loaded into the anchor. Pure: no I/O, no shared state; every failure is
// PrivilegedHelperContractError::invalidConfiguration with a fixed reason.
namespace tarnel::PacketFilterRules {

// Tailscale's source port for its WireGuard traffic, fixed in the rules and in
// the state cleanup.
inline constexpr std::int64_t tailscaleSourcePort = 41641;

// The Tailscale inputs; all empty or absent in plain mode.
struct TailscaleInputs {
    std::vector<TailscaleUnderlayEndpoint> underlayEndpoints;
    std::optional<std::string> tailscaleTunnelInterface;    // utunN
    std::optional<std::string> tailscalePhysicalInterface;  // enN
    std::vector<std::string> physicalSourceAddresses;       // IP literals of the physical interface

    friend bool operator==(const TailscaleInputs&, const TailscaleInputs&) = default;
};

// Everything the rule text is made from.
struct AnchorInputs {
    std::vector<std::string> endpoints;           // IP literals of the VPN server, 1 to 16
    std::int64_t endpointPort = 0;                // 1 to 65535
    std::optional<std::string> tunnelInterface;   // utunN, absent before the tunnel exists
    TailscaleInputs tailscale;

    friend bool operator==(const AnchorInputs&, const AnchorInputs&) = default;
};

// The distinct elements ascending as text (not by address value: 10.0.0.2
// comes before 9.9.9.9; two spellings of one IPv6 address stay two). Throws
// "kill-switch <label> count is invalid" unless there are 1 to
// `maximumCount`, then "kill-switch <label> is not an IP literal" for the
// first element, in list order, that is not an IPv4 or IPv6 literal.
[[nodiscard]] std::vector<std::string> validatedAddressList(const std::vector<std::string>& addresses,
                                                            std::string_view label, std::size_t maximumCount);

// Checks every input, stopping at the first failure, and renders the rule
// text: one rule a line, each ended by "\n". Plain mode lets out loopback,
// the server endpoints, the tunnel interface and local or multicast
// destinations, and blocks all other DNS and all other outbound traffic;
// Tailscale mode also lets root's packets from the physical source addresses
// reach the underlay endpoints over the physical interface, Tailscale's
// resolver answer, and everything pass on Tailscale's own tunnel.
[[nodiscard]] std::string anchorRules(const AnchorInputs& inputs);

}  // namespace tarnel::PacketFilterRules
