#pragma once

#include "helper/protection/packet_filter_rules.hpp"

namespace tarnel::testing {

// The Tailscale-mode inputs of the rule text's worked example: server
// 203.0.113.5:443 on utun5, three underlay endpoints, Tailscale's tunnel utun3
// and the physical interface en0 with source 192.168.1.20.
inline PacketFilterRules::AnchorInputs workedExampleInputs() {
    using T = TailscaleUnderlayTransport;
    PacketFilterRules::AnchorInputs inputs;
    inputs.endpoints = {"203.0.113.5"};
    inputs.endpointPort = 443;
    inputs.tunnelInterface = "utun5";
    inputs.tailscale.underlayEndpoints = {
        {"198.51.100.7", 443, T::tcp}, {"198.51.100.7", 3478, T::udp}, {"192.0.2.9", 41641, T::udp}};
    inputs.tailscale.tailscaleTunnelInterface = "utun3";
    inputs.tailscale.tailscalePhysicalInterface = "en0";
    inputs.tailscale.physicalSourceAddresses = {"192.168.1.20"};
    return inputs;
}

}  // namespace tarnel::testing
