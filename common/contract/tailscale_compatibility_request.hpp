#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The Tailscale compatibility request: the small JSON document that the
// application attaches to a tunnel start when a Tailscale client runs beside
// the tunnel, naming the DERP regions in use and the region that relays
// Tailscale's traffic. Both programs compile this check; failures are
// PrivilegedHelperContractError::invalidConfiguration with a fixed reason.
namespace tarnel::PrivilegedHelperContract {

// The request as checked: the region list (ascending, distinct) and the relay
// region, one of the list.
struct TailscaleCompatibilityRequest {
    std::vector<std::int64_t> regionIDs;
    std::int64_t relayRegionID = 0;

    friend bool operator==(const TailscaleCompatibilityRequest&, const TailscaleCompatibilityRequest&) = default;
};

inline constexpr std::size_t maximumTailscaleCompatibilityRequestSize = 4096;
inline constexpr std::size_t maximumTailscaleRegionCount = 64;
inline constexpr std::int64_t maximumTailscaleRegionID = 4096;

// The region identifiers without duplicates, ascending. Throws "Tailscale DERP
// regions are invalid" unless there are 1 to 64 of them, each 1 to 4096.
[[nodiscard]] std::vector<std::int64_t> canonicalTailscaleRegionIDs(const std::vector<std::int64_t>& regionIDs);

// The request the application sends: {"derp_region_ids": the regions
// without duplicates, ascending, "relay_region_id": the relay,
// "schema": 2} as compact JSON with sorted keys and "/" unescaped. Throws
// "Tailscale DERP regions are invalid" as canonicalTailscaleRegionIDs does,
// then "Tailscale relay region is invalid" unless the relay is one of them.
[[nodiscard]] std::string tailscaleCompatibilityPayload(const std::vector<std::int64_t>& derpRegionIDs,
                                                        std::int64_t relayRegionID);

// Checks the request bytes; nothing when there are none (no Tailscale
// coexistence for this start). The document must be 1 to 4096 bytes (checked
// before it is parsed) holding an object with exactly the keys "schema",
// "derp_region_ids" and "relay_region_id"; "schema" a number (not a boolean)
// whose integer part is 2; "derp_region_ids" an array of numbers, each taken
// by its integer part, already canonical; "relay_region_id" an integral
// number in that list. Numbers are judged by value: 2.5 has the integer part
// 2, and a number far outside 64 bits (1e300, an integer literal of 2^64)
// fails the rule it meets like any other wrong value. Reasons: "Tailscale
// compatibility request is invalid", "Tailscale DERP regions are invalid",
// "Tailscale DERP regions are not canonical". Bytes that are not JSON, and an
// object that repeats a key, fail with the JSON reader's json::JsonError; any
// other JSON text within the size is read, however deeply nested.
[[nodiscard]] std::optional<TailscaleCompatibilityRequest> validateTailscaleCompatibilityRequest(
    const std::optional<std::string>& request);

}  // namespace tarnel::PrivilegedHelperContract
