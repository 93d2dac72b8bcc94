#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/json.hpp"

namespace tarnel {

// How Tailscale reaches one of its own endpoints: tcp for DERP relay
// connections, udp for STUN and peer traffic. Ordered by raw value as text,
// so tcp comes before udp.
enum class TailscaleUnderlayTransport { tcp, udp };

[[nodiscard]] std::string_view rawValue(TailscaleUnderlayTransport transport) noexcept;
// The transport of a raw value ("tcp", "udp"); nothing for any other text.
[[nodiscard]] std::optional<TailscaleUnderlayTransport> tailscaleUnderlayTransport(std::string_view raw) noexcept;

// One address, port and transport by which Tailscale itself reaches its relay
// servers, STUN servers and peers; the kill switch lets exactly these through.
// The address is the IP literal exactly as produced, compared as text (never
// normalised, never bracketed).
struct TailscaleUnderlayEndpoint {
    std::string address;
    std::int64_t port = 0;
    TailscaleUnderlayTransport transport = TailscaleUnderlayTransport::tcp;

    friend bool operator==(const TailscaleUnderlayEndpoint&, const TailscaleUnderlayEndpoint&) = default;
    // Transport first (by raw value), then port (numerically), then address
    // (as text, byte by byte).
    friend std::strong_ordering operator<=>(const TailscaleUnderlayEndpoint& a, const TailscaleUnderlayEndpoint& b);

    // The JSON form: {"address": String, "port": Int, "transport": "tcp"|"udp"}.
    [[nodiscard]] json::OrderedValue toJSON() const;
    // Reads the JSON form: all three keys required, other keys ignored; a
    // transport other than "tcp" or "udp" is a json::JsonError typeMismatch
    // naming its key; the port must be a JSON integer.
    [[nodiscard]] static TailscaleUnderlayEndpoint fromJSON(const json::Value& value, std::string_view path = {});

    // The canonical list: duplicates removed, ascending. Throws
    // PrivilegedHelperContractError::invalidConfiguration with "Tailscale
    // underlay endpoint count is invalid" unless it holds 1 to 1024 endpoints
    // (counted before duplicates go), then, endpoint by endpoint in input
    // order, "Tailscale underlay endpoint is invalid" for an address that is
    // not an IPv4 or IPv6 literal or a port outside 1..65535.
    [[nodiscard]] static std::vector<TailscaleUnderlayEndpoint> validatedList(
        const std::vector<TailscaleUnderlayEndpoint>& endpoints);

    // The distinct addresses of the canonical list, ascending as text; the
    // same failures as `validatedList`.
    [[nodiscard]] static std::vector<std::string> validatedAddresses(
        const std::vector<TailscaleUnderlayEndpoint>& endpoints);

    static constexpr std::size_t maximumCount = 1024;
};

// Hash over address, port and transport, for hashed sets of endpoints.
struct TailscaleUnderlayEndpointHash {
    [[nodiscard]] std::size_t operator()(const TailscaleUnderlayEndpoint& endpoint) const noexcept;
};

}  // namespace tarnel
