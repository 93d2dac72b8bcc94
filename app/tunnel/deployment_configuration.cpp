#include "app/tunnel/deployment_configuration.hpp"

#include <algorithm>

#include "common/base/ip_literal.hpp"
#include "platform/info_plist.hpp"

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
    static const AccountServiceEndpoints accountService =
        AccountServiceEndpoints::fromInfoPlist(info_plist::mainBundlePath());
    configuration.accountService = accountService;
    return configuration;
}

AccountServiceEndpoints AccountServiceEndpoints::fromInfoPlist(const std::optional<std::filesystem::path>& infoPlist) {
    AccountServiceEndpoints endpoints{std::string(kUnconfiguredHost), std::string(kUnconfiguredSupportEmailAddress)};
    if (!infoPlist) return endpoints;
    const auto host = info_plist::string(*infoPlist, kHostInfoKey);
    const bool isHostName = host && !host->empty() && std::all_of(host->begin(), host->end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
    if (isHostName) endpoints.host = *host;
    if (auto address = info_plist::string(*infoPlist, kSupportEmailAddressInfoKey)) {
        endpoints.supportEmailAddress = std::move(*address);
    }
    return endpoints;
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
