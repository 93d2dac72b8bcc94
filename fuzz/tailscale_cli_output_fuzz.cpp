// The readers of Tailscale's DERP map and status: the root helper runs them on
// another program's output. They never crash, fail only with their own reason
// or the JSON reader's error, and what they accept is a canonical endpoint
// list: sorted, distinct, at most 1024 endpoints of address literals and ports
// 1..65535; the DERP map's holds a relay (tcp) endpoint, the status's only udp.
// The requested regions are those the document's own keys name, so that
// mutations reach past the region lookup.

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/base/ip_literal.hpp"
#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/json_mutator.hpp"
#include "helper/protection/tailscale_cli_output.hpp"

using namespace tarnel;
using tarnel::fuzz::require;
namespace Contract = tarnel::PrivilegedHelperContract;

namespace {

std::vector<std::int64_t> requestedRegions(std::string_view text) {
    std::vector<std::int64_t> regions;
    try {
        const json::Value document = json::parse(text, json::TopLevel::any);
        const auto found = document.is_object() ? document.find("Regions") : document.end();
        if (document.is_object() && found != document.end() && found->is_object()) {
            for (const auto& [key, value] : found->items()) {
                std::int64_t id = 0;
                const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), id);
                if (error == std::errc() && end == key.data() + key.size() && id >= 1 && id <= 4096) {
                    regions.push_back(id);
                }
            }
        }
    } catch (const json::JsonError&) {
    }
    std::sort(regions.begin(), regions.end());
    regions.erase(std::unique(regions.begin(), regions.end()), regions.end());
    if (regions.size() > Contract::maximumTailscaleRegionCount) regions.resize(Contract::maximumTailscaleRegionCount);
    if (regions.empty()) regions.push_back(1);
    return regions;
}

void requireCanonical(const std::vector<TailscaleUnderlayEndpoint>& endpoints) {
    require(endpoints.size() <= TailscaleUnderlayEndpoint::maximumCount, "at most 1024 endpoints");
    require(std::is_sorted(endpoints.begin(), endpoints.end()), "endpoints are sorted");
    require(std::adjacent_find(endpoints.begin(), endpoints.end()) == endpoints.end(), "endpoints are distinct");
    for (const auto& endpoint : endpoints) {
        require(endpoint.port >= 1 && endpoint.port <= 65535, "ports are in range");
        require(isIPLiteral(endpoint.address), "addresses are literals", endpoint.address);
    }
}

template <typename Parse>
bool parses(Parse parse, std::string_view reason, std::vector<TailscaleUnderlayEndpoint>& endpoints) {
    try {
        endpoints = parse();
        return true;
    } catch (const PrivilegedHelperContractError& error) {
        require(error.errorCase() == PrivilegedHelperContractError::Case::invalidConfiguration &&
                    error.reason() == reason,
                "a refusal carries the document's one reason", error.reason());
    } catch (const json::JsonError&) {
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);

    const std::vector<std::int64_t> regions = requestedRegions(text);
    std::vector<TailscaleUnderlayEndpoint> relays;
    const auto derp = [&] { return Contract::tailscaleUnderlayEndpointsFromDERPMap(text, regions, regions.front()); };
    if (parses(derp, Contract::kInvalidDERPMapReason, relays)) {
        requireCanonical(relays);
        require(!relays.empty() && relays.front().transport == TailscaleUnderlayTransport::tcp,
                "the map yields a relay endpoint");
        require(derp() == relays, "the DERP map reader is deterministic");
    }

    std::vector<TailscaleUnderlayEndpoint> peers;
    const auto status = [&] { return Contract::tailscaleUnderlayEndpointsFromStatus(text); };
    if (parses(status, Contract::kInvalidStatusReason, peers)) {
        requireCanonical(peers);
        require(std::all_of(peers.begin(), peers.end(),
                            [](const auto& endpoint) { return endpoint.transport == TailscaleUnderlayTransport::udp; }),
                "peers are reached over udp");
        require(status() == peers, "the status reader is deterministic");
    }
    return 0;
}
