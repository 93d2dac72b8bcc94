#include "helper/protection/packet_filter_control.hpp"

#include <algorithm>
#include <limits>
#include <set>

#include "common/base/ip_literal.hpp"
#include "common/base/utf8.hpp"
#include "common/contract/interface_names.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/system_tools.hpp"
#include "helper/protection/pf_state_cleanup_planner.hpp"

namespace tarnel {

namespace {

[[noreturn]] void fail(PrivilegedRuntimeError::Case errorCase) { throw PrivilegedRuntimeError(errorCase); }

std::vector<std::string> sortedDistinct(std::set<std::string> texts) { return {texts.begin(), texts.end()}; }

}  // namespace

PacketFilterControl::PacketFilterControl(const Clock& clock, double timeoutSeconds, std::int64_t maximumOutputBytes)
    : clock_(&clock), timeout_(timeoutSeconds), maximumOutputBytes_(maximumOutputBytes) {}

std::string PacketFilterControl::runPacketFilterControl(const std::vector<std::string>& arguments,
                                                        const std::optional<std::string>& input) const {
    const BoundedCommandInvocation invocation{std::string(SystemTools::pfctl), arguments};
    const BoundedCommandStreams streams{input, true};
    const double deadline = clock_->uptime() + timeout_;
    BoundedCommandResult result;
    try {
        result = BoundedCommandRunner::run(
            invocation, streams, maximumOutputBytes_,
            [deadline](double uptime) {
                if (!(uptime < deadline)) fail(PrivilegedRuntimeError::Case::packetFilterCommandFailed);
            },
            *clock_);
    } catch (const PrivilegedRuntimeError&) {
        throw;
    } catch (const Error&) {
        fail(PrivilegedRuntimeError::Case::packetFilterCommandFailed);
    }
    if (result.terminationStatus != 0) fail(PrivilegedRuntimeError::Case::packetFilterCommandFailed);
    return utf8::decodeReplacingInvalid(result.output);
}

void PacketFilterControl::loadAnchorRules(const PacketFilterRules::AnchorInputs& inputs) const {
    const std::string rules = PacketFilterRules::anchorRules(inputs);
    const std::string anchor(packetFilterAnchor);
    runPacketFilterControl({"-n", "-a", anchor, "-f", "-"}, rules);
    runPacketFilterControl({"-a", anchor, "-f", "-"}, rules);
}

void PacketFilterControl::flushAnchor() const {
    runPacketFilterControl({"-a", std::string(packetFilterAnchor), "-F", "all"});
}

std::uint64_t PacketFilterControl::enablePacketFilter() const {
    const auto token = packetFilterEnableToken(runPacketFilterControl({"-E"}));
    if (!token) fail(PrivilegedRuntimeError::Case::packetFilterEnableFailed);
    return *token;
}

std::vector<std::uint64_t> PacketFilterControl::releaseEnableTokens(const std::vector<std::uint64_t>& tokens) const {
    const std::set<std::uint64_t> distinct(tokens.begin(), tokens.end());
    std::vector<std::uint64_t> kept;
    for (const std::uint64_t token : distinct) {
        try {
            runPacketFilterControl({"-X", std::to_string(token)});
        } catch (const std::exception&) {
            kept.push_back(token);
        }
    }
    return kept;
}

void PacketFilterControl::killStates(
    const std::vector<std::string>& physicalAddresses,
    const std::optional<std::vector<TailscaleUnderlayEndpoint>>& underlayEndpoints) const {
    if (!underlayEndpoints) {
        for (const auto& address : physicalAddresses) runPacketFilterControl({"-k", address});
        return;
    }
    const std::string table = runPacketFilterControl({"-q", "-s", "states"});
    for (const auto& target :
         PrivilegedPFStateCleanupPlanner::killTargets(table, physicalAddresses, *underlayEndpoints)) {
        runPacketFilterControl({"-k", target.sourceAddress, "-k", target.destinationAddress});
    }
}

std::optional<std::uint64_t> packetFilterEnableToken(std::string_view output) {
    constexpr std::string_view word = "Token";
    for (std::size_t start = output.find(word); start != std::string_view::npos;
         start = output.find(word, start + 1)) {
        std::size_t offset = start + word.size();
        while (const std::size_t space = utf8::whiteSpaceLength(output, offset)) offset += space;
        if (offset >= output.size() || output[offset] != ':') continue;
        ++offset;
        while (const std::size_t space = utf8::whiteSpaceLength(output, offset)) offset += space;
        const std::size_t digitsStart = offset;
        while (offset < output.size() && output[offset] >= '0' && output[offset] <= '9') ++offset;
        if (offset == digitsStart) continue;
        // The first match decides: digits that do not fit are no token.
        std::uint64_t token = 0;
        for (const char digit : output.substr(digitsStart, offset - digitsStart)) {
            const auto value = static_cast<std::uint64_t>(digit - '0');
            if (token > (std::numeric_limits<std::uint64_t>::max() - value) / 10) return std::nullopt;
            token = token * 10 + value;
        }
        return token;
    }
    return std::nullopt;
}

std::vector<std::string> resolveEndpointAddresses(const std::string& host, const EndpointResolver& resolver) {
    if (isIPLiteral(host)) return {host};
    const auto answers = resolver(host);
    if (!answers || answers->empty()) fail(PrivilegedRuntimeError::Case::endpointResolutionFailed);
    std::set<std::string> addresses;
    for (const auto& answer : *answers) {
        // Families other than IPv4 and IPv6, and answers that do not print, give nothing.
        if (auto text = NetworkInterfaces::numericHostText(reinterpret_cast<const sockaddr*>(&answer))) {
            addresses.insert(utf8::decodeReplacingInvalid(*text));
        }
    }
    if (addresses.empty()) fail(PrivilegedRuntimeError::Case::endpointResolutionFailed);
    return sortedDistinct(std::move(addresses));
}

std::vector<std::string> physicalInterfaceAddresses(const std::vector<NetworkInterfaces::InterfaceAddress>& list,
                                                    const std::optional<std::string>& interfaceName) {
    std::set<std::string> addresses;
    for (const auto& entry : list) {
        const bool selected = interfaceName ? entry.name == *interfaceName : InterfaceNames::isPhysical(entry.name);
        if (selected && entry.address && !entry.address->empty()) addresses.insert(*entry.address);
    }
    return sortedDistinct(std::move(addresses));
}

std::vector<std::string> physicalInterfaceAddresses(const std::optional<std::string>& interfaceName) {
    const auto list = NetworkInterfaces::addresses();
    if (!list) return {};
    return physicalInterfaceAddresses(*list, interfaceName);
}

}  // namespace tarnel
