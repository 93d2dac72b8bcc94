#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/json.hpp"
#include "common/contract/tailscale_compatibility_request.hpp"
#include "helper/protection/tailscale_underlay_endpoint.hpp"

// Readers of Tailscale's command-line tool output: its DERP map ("debug
// derp-map") and its status ("status --json"). They turn the documents into
// the underlay endpoints that the kill switch lets through: the addresses,
// ports and transports by which Tailscale reaches its relays, its STUN servers
// and its active peers. The documents come from a program outside this system
// and may be large, malformed or hostile: each reader is a pure function that
// checks the size before it parses, reads every value it uses strictly and
// fails as a whole on the first violation, never with a partial result.
//
// Every failure is PrivilegedHelperContractError::invalidConfiguration with
// the one reason of its document ("Tailscale DERP map is invalid", "Tailscale
// status is invalid"), except for bytes that the strict JSON reader refuses
// (not JSON, invalid UTF-8, a repeated key, nesting beyond its cap), which
// fail with the reader's json::JsonError. Numbers are judged by value: an
// integer beyond 64 bits is read as a double, like any other number.
// Either document yields at most TailscaleUnderlayEndpoint::maximumCount
// endpoints, checked after each DERP node and after each peer.
namespace tarnel {

namespace PrivilegedHelperContract {

// The largest document either reader accepts, the same as the output cap of
// the commands that print them.
inline constexpr std::size_t maximumTailscaleDocumentSize = 2'097'152;
inline constexpr std::size_t maximumDERPNodesPerRegion = 32;

inline constexpr std::string_view kInvalidDERPMapReason = "Tailscale DERP map is invalid";
inline constexpr std::string_view kInvalidStatusReason = "Tailscale status is invalid";

// The underlay endpoints of the requested DERP regions, in canonical order
// (sorted, distinct): for every node with an address, (address, DERP port,
// tcp) unless the node only serves STUN, and (address, STUN port, udp) unless
// its STUN port is -1. `regionIDs` (1 to maximumTailscaleRegionCount) and
// `relayRegionID` are those of the checked compatibility request. Every region
// of the map is checked, requested or not; the relay region must yield at
// least one tcp endpoint.
[[nodiscard]] std::vector<TailscaleUnderlayEndpoint> tailscaleUnderlayEndpointsFromDERPMap(
    std::string_view output, std::span<const std::int64_t> regionIDs, std::int64_t relayRegionID);

// The underlay endpoints of the active peers, (host, port, udp) from each
// active peer's current address, in canonical order; empty when no peer is
// active with an address, when "Peer" is absent and when it is null (the tool
// writes an empty peer map as null).
[[nodiscard]] std::vector<TailscaleUnderlayEndpoint> tailscaleUnderlayEndpointsFromStatus(std::string_view output);

struct TailscalePeerAddress {
    std::string host;
    std::int64_t port = 0;

    friend bool operator==(const TailscalePeerAddress&, const TailscalePeerAddress&) = default;
};

// A peer's current address: "[host]:port" or "host:port" with exactly one
// colon. The host is an IPv4 or IPv6 literal (a zone suffix is refused), the
// port a decimal integer (optionally signed) in 1..65535. Fails with
// "Tailscale status is invalid".
[[nodiscard]] TailscalePeerAddress tailscalePeerAddress(std::string_view text);

// Field readers of the DERP map, each failing with "Tailscale DERP map is
// invalid". A null pointer is an absent key; JSON null is a present value of
// the wrong type.
//
// Nothing when absent; else a number that is not a boolean and whose value
// is integral (1.0 reads as 1), within the 64-bit range.
[[nodiscard]] std::optional<std::int64_t> derpInteger(const json::Value* value);
// `defaultValue` when absent; else a boolean.
[[nodiscard]] bool derpBoolean(const json::Value* value, bool defaultValue);
// Nothing when absent; else text.
[[nodiscard]] std::optional<std::string> derpString(const json::Value* value);
// A node's addresses from "IPv4" then "IPv6" (either family under either key),
// skipping empty text and "none", distinct and sorted as text.
[[nodiscard]] std::vector<std::string> derpNodeAddresses(const json::Value& node);
// A node's STUN port: 3478 when "STUNPort" is absent or 0, nothing when it is
// -1 (the node serves no STUN), else the port in 1..65535.
[[nodiscard]] std::optional<std::int64_t> derpNodeSTUNPort(const json::Value& node);

}  // namespace PrivilegedHelperContract
}  // namespace tarnel
