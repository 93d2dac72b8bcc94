#include "common/contract/tailscale_compatibility_request.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"

namespace tarnel::PrivilegedHelperContract {

namespace {

using json::Value;

[[noreturn]] void reject(const char* reason) { throw PrivilegedHelperContractError::invalidConfiguration(reason); }

bool isNumber(const Value& value) { return value.is_number(); }  // never true for a boolean

// The integer part of a JSON number (truncated toward zero), clamped to the
// 64-bit range: every value the rules accept lies far inside it, so a clamped
// value fails exactly as the unclamped one would, and no conversion ever sees
// a number it cannot represent.
std::int64_t integerPart(const Value& number) {
    if (number.is_number_unsigned()) {
        const auto wide = number.get<std::uint64_t>();
        constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        return wide > largest ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(wide);
    }
    if (number.is_number_integer()) return number.get<std::int64_t>();
    const double truncated = std::trunc(number.get<double>());
    // -2^63 is exact in a double; 2^63 is the first value above the range.
    constexpr double lowest = -9223372036854775808.0;
    if (!(truncated >= lowest)) return std::numeric_limits<std::int64_t>::min();
    if (!(truncated < -lowest)) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(truncated);
}

bool isIntegral(const Value& number) {
    if (!number.is_number_float()) return true;
    const double value = number.get<double>();
    return std::trunc(value) == value;
}

}  // namespace

std::vector<std::int64_t> canonicalTailscaleRegionIDs(const std::vector<std::int64_t>& regionIDs) {
    const bool inRange = std::all_of(regionIDs.begin(), regionIDs.end(),
                                     [](std::int64_t id) { return id >= 1 && id <= maximumTailscaleRegionID; });
    if (regionIDs.empty() || regionIDs.size() > maximumTailscaleRegionCount || !inRange) {
        reject("Tailscale DERP regions are invalid");
    }
    std::vector<std::int64_t> canonical = regionIDs;
    std::sort(canonical.begin(), canonical.end());
    canonical.erase(std::unique(canonical.begin(), canonical.end()), canonical.end());
    return canonical;
}

std::string tailscaleCompatibilityPayload(const std::vector<std::int64_t>& derpRegionIDs,
                                         std::int64_t relayRegionID) {
    std::vector<std::int64_t> regionIDs = canonicalTailscaleRegionIDs(derpRegionIDs);
    if (!std::binary_search(regionIDs.begin(), regionIDs.end(), relayRegionID)) {
        reject("Tailscale relay region is invalid");
    }
    Value payload = Value::object();
    payload["derp_region_ids"] = std::move(regionIDs);
    payload["relay_region_id"] = relayRegionID;
    payload["schema"] = 2;
    return json::writeCanonical(payload);
}

std::optional<TailscaleCompatibilityRequest> validateTailscaleCompatibilityRequest(
    const std::optional<std::string>& request) {
    if (!request) return std::nullopt;
    constexpr const char* invalidRequest = "Tailscale compatibility request is invalid";
    if (request->empty() || request->size() > maximumTailscaleCompatibilityRequestSize) reject(invalidRequest);

    // Every JSON text within the size parses, whatever its top-level kind and
    // however deeply nested (a level takes at least one byte, and the reader
    // keeps its open containers on the heap), so that a document of the wrong
    // shape gets this check's reason; numbers beyond 64 bits are read as
    // numbers and judged.
    const Value document = json::parse(*request, json::TopLevel::any, maximumTailscaleCompatibilityRequestSize,
                                       json::WideIntegers::asDouble);
    if (!document.is_object() || document.size() != 3 || !document.contains("schema") ||
        !document.contains("derp_region_ids") || !document.contains("relay_region_id")) {
        reject(invalidRequest);
    }
    const Value& schema = document["schema"];
    if (!isNumber(schema) || integerPart(schema) != 2) reject(invalidRequest);
    const Value& regions = document["derp_region_ids"];
    if (!regions.is_array()) reject(invalidRequest);
    for (const Value& region : regions) {
        if (!isNumber(region)) reject(invalidRequest);
    }
    const Value& relay = document["relay_region_id"];
    if (!isNumber(relay)) reject(invalidRequest);

    std::vector<std::int64_t> sent;
    sent.reserve(regions.size());
    for (const Value& region : regions) sent.push_back(integerPart(region));
    std::vector<std::int64_t> canonical = canonicalTailscaleRegionIDs(sent);

    const std::int64_t relayID = integerPart(relay);
    if (canonical != sent || !isIntegral(relay) ||
        !std::binary_search(canonical.begin(), canonical.end(), relayID)) {
        reject("Tailscale DERP regions are not canonical");
    }
    return TailscaleCompatibilityRequest{std::move(canonical), relayID};
}

}  // namespace tarnel::PrivilegedHelperContract
