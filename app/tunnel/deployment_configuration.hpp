#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/base/uuid.hpp"

namespace tarnel {

// Where the traffic checks go. Each target has its own port, so that tests can
// point every check at servers of their own on loopback.
struct TrafficCheckEndpoints {
    // The IP route check connects to this address (an IP literal).
    std::string ipRouteAddress;
    std::uint16_t ipRoutePort = 443;
    // The DNS check connects to "<random label>.1-1-1-1.<domain>", a name that
    // only this wildcard-DNS service answers, with the IP route address.
    std::string wildcardDNSDomain;
    std::uint16_t wildcardDNSPort = 443;
    // The HTTPS check and the local proxy's probe request
    // "https://<host>/cdn-cgi/trace?tarnel_probe=<UUID>" here.
    std::string traceHost;
    std::uint16_t tracePort = 443;
};

// The outside endpoints the application reaches, in one place. A plain value:
// the application takes `production()`, tests build their own with loopback
// endpoints and never call it.
struct DeploymentConfiguration {
    TrafficCheckEndpoints trafficChecks;

    [[nodiscard]] static DeploymentConfiguration production();
};

// "https://" + host + "/cdn-cgi/trace?tarnel_probe=" + the probe's upper-case
// UUID text: a trace request no cache can answer. An IPv6 literal host is
// written in brackets.
[[nodiscard]] std::string traceProbeURL(std::string_view host, const Uuid& probe);

}  // namespace tarnel
