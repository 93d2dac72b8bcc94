#include "app/tunnel/deployment_configuration.hpp"

#include "common/base/ip_literal.hpp"

namespace tarnel {

DeploymentConfiguration DeploymentConfiguration::production() {
    DeploymentConfiguration configuration;
    configuration.trafficChecks = TrafficCheckEndpoints{
        .ipRouteAddress = "1.1.1.1",
        .ipRoutePort = 443,
        .wildcardDNSDomain = "sslip.io",
        .wildcardDNSPort = 443,
        .traceHost = "one.one.one.one",
        .tracePort = 443,
    };
    return configuration;
}

std::string traceProbeURL(std::string_view host, const Uuid& probe) {
    const bool bracketed = ipLiteralFamily(host) == IPAddressFamily::ipv6;
    std::string url = "https://";
    url += bracketed ? "[" + std::string(host) + "]" : std::string(host);
    url += "/cdn-cgi/trace?tarnel_probe=";
    url += probe.text();
    return url;
}

}  // namespace tarnel
