#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper/protection/tailscale_underlay_endpoint.hpp"

namespace tarnel {

// One pair of hosts whose packet-filter states are to be killed. Killing a
// pair ends every state between the two addresses.
struct PrivilegedPFStateKillTarget {
    std::string sourceAddress;
    std::string destinationAddress;

    friend bool operator==(const PrivilegedPFStateKillTarget&, const PrivilegedPFStateKillTarget&) = default;
    // By source, then destination, both as text.
    friend auto operator<=>(const PrivilegedPFStateKillTarget&, const PrivilegedPFStateKillTarget&) = default;
};

// Decides which packet-filter states to kill after the kill-switch rules were
// loaded in Tailscale mode: every state opened from a physical address,
// except the host pairs that carry a state the rules let through to one of
// Tailscale's underlay endpoints. Reads the text of the quiet state listing.
// Pure; every failure is PrivilegedHelperContractError::invalidConfiguration
// with a fixed reason, and one bad line fails the whole plan.
namespace PrivilegedPFStateCleanupPlanner {

struct Endpoint {
    std::string address;               // the IP literal as printed
    std::optional<std::int64_t> port;  // absent when the line shows none

    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

struct StateEntry {
    std::string protocolName;  // "tcp", "udp", "icmp", "icmp6" or "other"
    Endpoint source;
    Endpoint destination;

    friend bool operator==(const StateEntry&, const StateEntry&) = default;
};

inline constexpr std::size_t maximumStateTableBytes = 4'194'304;
inline constexpr std::size_t maximumStateLines = 100'000;
inline constexpr std::size_t maximumAddresses = 32;

// The host pairs to kill, distinct and ascending. In order: the underlay
// endpoints are made canonical (their two reasons); 1 to 32 addresses, each
// an IP literal, and at most 4194304 bytes of text, else "PF state cleanup
// input is invalid"; then line by line, where blank lines and the two ALTQ
// notices do not count and the 100001st counted line is "PF state table is
// too large". States from other sources than `addresses` are ignored.
[[nodiscard]] std::vector<PrivilegedPFStateKillTarget> killTargets(
    std::string_view stateTable, const std::vector<std::string>& addresses,
    const std::vector<TailscaleUnderlayEndpoint>& underlayEndpoints);

// One state line: the protocol is the first of "tcp", "udp", "icmp" and
// "icmp6" before the arrow ("->" or "<-", whichever comes first), the source
// and destination are the first tokens on each side that read as endpoints,
// swapped for "<-". Throws "PF state table format is unsupported" without a
// usable arrow and "PF state endpoint format is unsupported" when a side has
// no endpoint.
[[nodiscard]] StateEntry parseStateLine(std::string_view line);

// One token as an endpoint, after "(", ")" and "," are trimmed from its ends:
// "[address]" or "[address]:port", "address[port]" (IPv6 states), a bare
// address, or "address:port" split at the last colon (IPv4 states). Every
// address must be an IP literal; a port is a signed decimal 64-bit integer,
// not range-checked here. Nothing for any other token.
[[nodiscard]] std::optional<Endpoint> parseEndpoint(std::string_view token);

}  // namespace PrivilegedPFStateCleanupPlanner

}  // namespace tarnel
