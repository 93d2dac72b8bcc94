// The Tailscale compatibility request check: the application's bytes reach
// the root helper. It fails only with its own three reasons or the JSON
// reader's error; an accepted request names 1 to 64 ascending regions from
// 1 to 4096 with the relay among them, and the canonical document of that
// result is accepted again with the same result.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/tailscale_compatibility_request.hpp"
#include "fuzz/fuzz_support.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(fuzz::bytesOf(data, size));
    std::optional<PrivilegedHelperContract::TailscaleCompatibilityRequest> request;
    try {
        request = PrivilegedHelperContract::validateTailscaleCompatibilityRequest(text);
    } catch (const PrivilegedHelperContractError& error) {
        require(error.reason() == "Tailscale compatibility request is invalid" ||
                    error.reason() == "Tailscale DERP regions are invalid" ||
                    error.reason() == "Tailscale DERP regions are not canonical",
                "only the check's own reasons", error.reason());
        return 0;
    } catch (const json::JsonError&) {
        require(!text.empty() && text.size() <= 4096, "the size is checked before the document is read", text);
        return 0;
    }
    require(request.has_value(), "present bytes give a request or an error", text);
    const auto& ids = request->regionIDs;
    require(!ids.empty() && ids.size() <= 64, "1 to 64 regions", text);
    require(std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()) == ids.end(),
            "regions strictly ascending", text);
    require(ids.front() >= 1 && ids.back() <= 4096, "regions 1 to 4096", text);
    require(std::binary_search(ids.begin(), ids.end(), request->relayRegionID), "the relay is a region", text);

    json::Value canonical = json::Value::object();
    canonical["schema"] = 2;
    canonical["derp_region_ids"] = ids;
    canonical["relay_region_id"] = request->relayRegionID;
    require(PrivilegedHelperContract::validateTailscaleCompatibilityRequest(json::writeCanonical(canonical)) == request,
            "the canonical document of a result gives the same result", text);
    return 0;
}
