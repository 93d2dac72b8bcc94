#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnel {

// The allow-list gate for the TUN-mode sing-box configuration. Both programs
// run it: the application before it sends a configuration to the helper, the
// helper before it writes one as root. It accepts exactly the document that
// the application's configuration builder writes: every object has a fixed set
// of keys, every value a type, a bound and mostly a fixed value.
//
// Stateless and pure: no file, network or clock access; safe from any thread.
namespace PrivilegedTunnelConfigurationValidator {

// What the rest of a tunnel start reads from an accepted configuration.
struct Result {
    // The proxy server as written in the configuration: a host name or an IP
    // literal. In the ShadowTLS pairing this is the ShadowTLS carrier's server.
    std::string endpoint;
    // The proxy server's port, 1..65535.
    int endpointPort = 0;
    // The physical interface the configuration pins (`route.default_interface`,
    // "en" followed by digits); nothing when the configuration uses
    // `route.auto_detect_interface`.
    std::optional<std::string> defaultInterface;

    friend bool operator==(const Result&, const Result&) = default;
};

// Accepted configurations are 1..524288 bytes long.
inline constexpr std::size_t maximumConfigurationSize = 524'288;

// The private and special-purpose ranges that a configuration keeps out of the
// tunnel, in their fixed order: the TUN inbound's route exclusions (after the
// endpoint's own prefix when the endpoint is an IP literal) and the second
// route rule both hold exactly this list.
inline constexpr std::array<std::string_view, 10> privateRanges = {
    "10.0.0.0/8",  "172.16.0.0/12",      "192.168.0.0/16", "100.64.0.0/10", "169.254.0.0/16",
    "224.0.0.0/4", "255.255.255.255/32", "fc00::/7",       "ff00::/8",      "fe80::/10",
};

// The tag of the ShadowTLS carrier outbound: the Shadowsocks outbound of the
// pairing reaches the server through it, naming this tag as its detour.
inline constexpr std::string_view shadowTLSCarrierTag = "tarnel-shadowtls-carrier";

// Checks `configuration` (the raw JSON bytes) and returns the route facts.
// Throws PrivilegedHelperContractError::invalidConfiguration(reason) at the
// first check that fails, or the JSON reader's json::JsonError when the bytes
// are not a strict JSON object or array (invalid UTF-8, a duplicate key,
// nesting beyond the reader's cap, a top-level scalar, broken syntax).
[[nodiscard]] Result validate(std::string_view configuration);

// The address as a one-address prefix: an IPv4 literal + "/32", an IPv6
// literal + "/128", nothing for anything else (a host name). The text is kept
// as written, never normalised.
[[nodiscard]] std::optional<std::string> oneAddressPrefix(std::string_view address);

}  // namespace PrivilegedTunnelConfigurationValidator
}  // namespace tarnel
