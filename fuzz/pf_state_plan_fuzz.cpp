// The PF state cleanup planner over the text of a state listing (the output
// of a system tool, read by the root helper). It fails only with its own
// reasons; the targets it returns are distinct, sorted, start at one of the
// physical addresses and name IP literals; and each line on its own gives
// the same verdict as inside the listing.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/base/ip_literal.hpp"
#include "common/contract/helper_contract.hpp"
#include "fuzz/fuzz_support.hpp"
#include "helper/protection/pf_state_cleanup_planner.hpp"

using namespace tarnel;
using tarnel::fuzz::require;
namespace Planner = PrivilegedPFStateCleanupPlanner;

namespace {

const std::vector<std::string> kAddresses = {"192.168.1.20", "2001:db8::5", "10.0.0.2"};
const std::vector<TailscaleUnderlayEndpoint> kUnderlay = {
    {"198.51.100.7", 443, TailscaleUnderlayTransport::tcp},
    {"198.51.100.7", 3478, TailscaleUnderlayTransport::udp},
    {"2001:db8::9", 41641, TailscaleUnderlayTransport::udp},
};

bool isPlannerReason(const std::string& reason) {
    return reason == "PF state cleanup input is invalid" || reason == "PF state table is too large" ||
           reason == "PF state table format is unsupported" || reason == "PF state endpoint format is unsupported";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);
    std::vector<PrivilegedPFStateKillTarget> targets;
    try {
        targets = Planner::killTargets(text, kAddresses, kUnderlay);
    } catch (const PrivilegedHelperContractError& error) {
        require(isPlannerReason(error.reason()), "only the planner's reasons", error.reason());
        return 0;
    }
    require(std::adjacent_find(targets.begin(), targets.end(), std::greater_equal<>()) == targets.end(),
            "targets distinct and sorted", text);
    for (const auto& target : targets) {
        require(std::find(kAddresses.begin(), kAddresses.end(), target.sourceAddress) != kAddresses.end(),
                "a target starts at a physical address", target.sourceAddress);
        require(isIPLiteral(target.destinationAddress), "a target ends at an IP literal", target.destinationAddress);
    }

    // Every endpoint a line yields reads back from its own text.
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        try {
            const auto entry = Planner::parseStateLine(line);
            for (const auto& endpoint : {entry.source, entry.destination}) {
                require(isIPLiteral(endpoint.address), "an endpoint's address is an IP literal", endpoint.address);
                const std::string written =
                    endpoint.port ? "[" + endpoint.address + "]:" + std::to_string(*endpoint.port) : endpoint.address;
                require(Planner::parseEndpoint(written) == endpoint, "an endpoint reads back", written);
            }
        } catch (const PrivilegedHelperContractError&) {
            // A line of the listing may be blank or a notice; the listing decided above.
        }
        start = end + 1;
    }
    return 0;
}
