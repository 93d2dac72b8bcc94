#include "helper/protection/packet_filter_rules.hpp"

#include <algorithm>

#include "common/base/ip_literal.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/interface_names.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"

namespace tarnel::PacketFilterRules {

namespace {

[[noreturn]] void reject(std::string reason) {
    throw PrivilegedHelperContractError::invalidConfiguration(std::move(reason));
}

// "{ a, b }": a list is written in braces even when it holds one element.
std::string braced(const std::vector<std::string>& items) {
    std::string text = "{ ";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += ", ";
        text += items[i];
    }
    return text + " }";
}

// The checked Tailscale inputs of Tailscale mode.
struct TailscaleMode {
    std::vector<TailscaleUnderlayEndpoint> underlay;  // canonical
    std::vector<std::string> sources;
    std::string tunnelInterface;
    std::string physicalInterface;
};

std::optional<TailscaleMode> checkedMode(const AnchorInputs& inputs) {
    const TailscaleInputs& tailscale = inputs.tailscale;
    constexpr const char* invalidInterface = "Tailscale kill-switch interface is invalid";
    if (!tailscale.tailscaleTunnelInterface) {
        if (!tailscale.underlayEndpoints.empty() || tailscale.tailscalePhysicalInterface ||
            !tailscale.physicalSourceAddresses.empty()) {
            reject(invalidInterface);
        }
        return std::nullopt;
    }
    if (!InterfaceNames::isTunnel(*tailscale.tailscaleTunnelInterface) || !tailscale.tailscalePhysicalInterface ||
        !InterfaceNames::isPhysical(*tailscale.tailscalePhysicalInterface)) {
        reject(invalidInterface);
    }
    TailscaleMode mode;
    mode.underlay = TailscaleUnderlayEndpoint::validatedList(tailscale.underlayEndpoints);
    mode.sources = validatedAddressList(tailscale.physicalSourceAddresses, "physical source", 32);
    if (inputs.tunnelInterface == tailscale.tailscaleTunnelInterface) {
        reject("Tailscale tunnel cannot be the Tarnel tunnel");
    }
    mode.tunnelInterface = *tailscale.tailscaleTunnelInterface;
    mode.physicalInterface = *tailscale.tailscalePhysicalInterface;
    return mode;
}

// One line per distinct port of the transport's endpoints, ports ascending,
// each naming the addresses of its port. The canonical list runs by
// transport, then port, then address, so each port's addresses are one run,
// already distinct and in text order.
void appendUnderlayLines(std::string& text, const TailscaleMode& mode, TailscaleUnderlayTransport transport) {
    const std::string sources = braced(mode.sources);
    const auto& underlay = mode.underlay;
    for (auto it = underlay.begin(); it != underlay.end();) {
        const auto runEnd = std::find_if(it, underlay.end(), [&](const TailscaleUnderlayEndpoint& endpoint) {
            return endpoint.transport != it->transport || endpoint.port != it->port;
        });
        if (it->transport == transport) {
            std::vector<std::string> addresses;
            for (auto member = it; member != runEnd; ++member) addresses.push_back(member->address);
            const std::string port = std::to_string(it->port);
            if (transport == TailscaleUnderlayTransport::tcp) {
                text += "pass out quick on " + mode.physicalInterface + " proto tcp from " + sources + " to " +
                        braced(addresses) + " port " + port + " user root keep state\n";
            } else {
                text += "pass out quick on " + mode.physicalInterface + " proto udp from " + sources + " port " +
                        std::to_string(tailscaleSourcePort) + " to " + braced(addresses) + " port " + port +
                        " user root keep state\n";
            }
        }
        it = runEnd;
    }
}

}  // namespace

std::vector<std::string> validatedAddressList(const std::vector<std::string>& addresses, std::string_view label,
                                              std::size_t maximumCount) {
    const std::string name = "kill-switch " + std::string(label);
    if (addresses.empty() || addresses.size() > maximumCount) reject(name + " count is invalid");
    for (const auto& address : addresses) {
        if (!isIPLiteral(address)) reject(name + " is not an IP literal");
    }
    std::vector<std::string> distinct = addresses;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    return distinct;
}

std::string anchorRules(const AnchorInputs& inputs) {
    const std::vector<std::string> endpoints = validatedAddressList(inputs.endpoints, "endpoint", 16);
    if (inputs.endpointPort < 1 || inputs.endpointPort > 65535) reject("kill-switch endpoint port is invalid");
    if (inputs.tunnelInterface && !InterfaceNames::isTunnel(*inputs.tunnelInterface)) {
        reject("kill-switch tunnel interface is invalid");
    }
    const std::optional<TailscaleMode> tailscale = checkedMode(inputs);

    std::string text = "pass out quick on lo0 all keep state\n";
    text += "pass out quick proto { tcp, udp } to " + braced(endpoints) + " port " +
            std::to_string(inputs.endpointPort) + " keep state\n";
    if (tailscale) {
        appendUnderlayLines(text, *tailscale, TailscaleUnderlayTransport::tcp);
        appendUnderlayLines(text, *tailscale, TailscaleUnderlayTransport::udp);
        text += "pass out quick proto { tcp, udp } to 100.100.100.100 port 53 keep state\n";
        text += "pass in quick on " + tailscale->tunnelInterface + " all keep state\n";
        text += "pass out quick on " + tailscale->tunnelInterface + " all keep state\n";
    }
    if (inputs.tunnelInterface) text += "pass out quick on " + *inputs.tunnelInterface + " all keep state\n";
    text += "block drop out quick proto { tcp, udp } to any port { 53, 853 }\n";
    std::vector<std::string> localDestinations(PrivilegedTunnelConfigurationValidator::privateRanges.begin(),
                                               PrivilegedTunnelConfigurationValidator::privateRanges.end());
    text += "pass out quick to " + braced(localDestinations) + " keep state\n";
    text += "block drop out quick all\n";
    return text;
}

}  // namespace tarnel::PacketFilterRules
